#include "Platform/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Support/Errors.hpp"

namespace vhbr {

namespace fs = std::filesystem;

std::string describeFileError(std::string_view what, const fs::path& path, int err) {
    return std::string(what) + " “" + path.string() + "”: " + std::strerror(err) + ".";
}

namespace {

void writeAll(int fd, std::string_view data, const fs::path& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileSystemError(describeFileError("Could not write", path, errno));
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
}

void syncDirectory(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

void writeFileAtomically(const fs::path& target, std::string_view data) {
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string tmpl = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    // Close-on-exec: a child started meanwhile (the browser, a token command) must not inherit it.
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) throw FileSystemError(describeFileError("Could not save", target, errno));
    const fs::path tmp = tmpl;
    try {
        ::fchmod(fd, 0600);
        writeAll(fd, data, target);
        if (::fsync(fd) != 0) throw FileSystemError(describeFileError("Could not save", target, errno));
        if (::close(fd) != 0) {
            fd = -1;
            throw FileSystemError(describeFileError("Could not save", target, errno));
        }
        fd = -1;
        if (::rename(tmp.c_str(), target.c_str()) != 0)
            throw FileSystemError(describeFileError("Could not save", target, errno));
    } catch (...) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    syncDirectory(dir);
}

namespace {

void createDirectories(const fs::path& dir) {
    if (dir.empty()) return;
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return;
        throw FileSystemError(describeFileError("Could not create the folder", dir, ENOTDIR));
    }
    if (dir.has_parent_path() && dir.parent_path() != dir) createDirectories(dir.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw FileSystemError(describeFileError("Could not create the folder", dir, errno));
}

// Anyone who may change the folder may plant a state file (an upload of any file of ours) or
// swap a part file: such a folder is refused rather than trusted.
void requireOwnFolder(const fs::path& dir) {
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0) return;  // creation already reported what went wrong
    if (st.st_uid != ::geteuid())
        throw FileSystemError("The folder “" + dir.string() +
                              "” belongs to another user. Velvetharbor keeps its data only in your own folders.");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw FileSystemError("The folder “" + dir.string() +
                              "” can be changed by other users. Remove their write permission (chmod go-w) "
                              "and try again.");
}

}  // namespace

void createPrivateDirectories(const fs::path& dir) {
    createDirectories(dir);
    if (!dir.empty()) requireOwnFolder(dir);
}

}  // namespace vhbr
