#include "Update/TarballInstaller.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <random>

#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace fs = std::filesystem;

namespace {

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriterPtr = std::unique_ptr<archive, decltype(&archive_write_free)>;

AppError damaged() { return AppError("The update could not be installed because its archive is damaged."); }

// A version from the feed names a folder: keep it to characters that cannot escape it.
bool isSafeFolderName(const std::string& name) {
    if (name.empty() || name.front() == '.' || name.size() > 100) return false;
    return name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-") ==
           std::string::npos;
}

// A relative path without "..": joined to a folder, it names something inside that folder.
bool staysInside(const fs::path& path) {
    if (path.empty() || path.is_absolute()) return false;
    for (const auto& component : path)
        if (component == "..") return false;
    return true;
}

std::string randomSuffix() {
    std::random_device device;
    return std::to_string(device());
}

// The archive's entry path with its top folder dropped when it has one ("velvetharbor-1.2/bin/x"
// -> "bin/x"); empty for the top folder itself.
std::string strippedPath(const std::string& path, const std::string& top) {
    if (top.empty()) return path;
    if (path == top || path == top + "/") return {};
    return path.substr(top.size() + 1);
}

// Opens a release tarball for reading.
ArchivePtr openArchive(const fs::path& archivePath) {
    ArchivePtr in(archive_read_new(), &archive_read_free);
    // Only what release tarballs use, all built into libarchive (no external programs).
    archive_read_support_filter_gzip(in.get());
    archive_read_support_filter_xz(in.get());
    archive_read_support_filter_zstd(in.get());
    archive_read_support_format_tar(in.get());
    if (archive_read_open_filename(in.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK) throw damaged();
    return in;
}

// The first path component shared by every entry, or empty when they do not share one.
std::string commonTopFolder(const fs::path& archivePath) {
    ArchivePtr in = openArchive(archivePath);
    std::string top;
    bool first = true;
    archive_entry* entry = nullptr;
    int rc = ARCHIVE_OK;
    while ((rc = archive_read_next_header(in.get(), &entry)) == ARCHIVE_OK) {
        std::string path = archive_entry_pathname(entry);
        while (path.starts_with("./")) path.erase(0, 2);
        const std::string head = path.substr(0, path.find('/'));
        if (first)
            top = head;
        else if (head != top)
            return {};
        first = false;
        if (path.find('/') == std::string::npos && archive_entry_filetype(entry) != AE_IFDIR) return {};
    }
    if (rc != ARCHIVE_EOF) throw damaged();
    return top;
}

void syncDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void TarballInstaller::unpack(const fs::path& archivePath, const fs::path& into) {
    const std::string top = commonTopFolder(archivePath);
    ArchivePtr in = openArchive(archivePath);
    WriterPtr out(archive_write_disk_new(), &archive_write_free);
    // Entry paths become absolute paths inside the fresh staging folder; libarchive's own link
    // check would also reject links above it (a home folder reached through one), so entries are
    // checked here instead: nothing absolute, no "..", and links only to places inside.
    archive_write_disk_set_options(
        out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    archive_entry* entry = nullptr;
    int rc = ARCHIVE_OK;
    while ((rc = archive_read_next_header(in.get(), &entry)) == ARCHIVE_OK) {
        std::string path = archive_entry_pathname(entry);
        while (path.starts_with("./")) path.erase(0, 2);
        const std::string relative = strippedPath(path, top);
        if (relative.empty()) continue;
        if (!staysInside(relative)) throw damaged();
        if (archive_entry_filetype(entry) == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!target || !staysInside(target)) throw damaged();
        }
        archive_entry_set_pathname(entry, (into / relative).c_str());
        // Hard links name another entry, which moved the same way.
        if (const char* link = archive_entry_hardlink(entry)) {
            std::string target = link;
            while (target.starts_with("./")) target.erase(0, 2);
            target = strippedPath(target, top);
            if (!staysInside(target)) throw damaged();
            archive_entry_set_hardlink(entry, (into / target).c_str());
        }
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) throw damaged();
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int r = ARCHIVE_OK;
        while ((r = archive_read_data_block(in.get(), &block, &size, &offset)) == ARCHIVE_OK)
            if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) throw damaged();
        if (r != ARCHIVE_EOF || archive_write_finish_entry(out.get()) != ARCHIVE_OK) throw damaged();
    }
    if (rc != ARCHIVE_EOF || archive_write_close(out.get()) != ARCHIVE_OK) throw damaged();
}

void TarballInstaller::install(const fs::path& archivePath, const std::string& version) {
    if (!isSafeFolderName(version))
        throw AppError("The update could not be installed because its version \"" + version +
                       "\" is not valid.");
    const fs::path versions = root_ / "versions";
    createPrivateDirectories(versions);
    const fs::path staging = versions / (".unpacking-" + version + "-" + randomSuffix());
    try {
        fs::create_directory(staging);
        unpack(archivePath, staging);
        if (!fs::exists(staging / "share" / "velvetharbor" / "Info.json"))
            throw AppError(
                "The update could not be installed because the package does not contain Velvetharbor.");
        const fs::path target = versions / version;
        // A folder of that name would be a left-over of an earlier attempt: "current" never
        // points at a version newer than the running one.
        std::error_code ignored;
        fs::remove_all(target, ignored);
        fs::rename(staging, target);
        syncDirectory(versions);
    } catch (const fs::filesystem_error& e) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw FileSystemError(
            describeFileError("Could not install the update in", versions, e.code().value()));
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
    switchCurrent(version);
}

void TarballInstaller::switchCurrent(const std::string& version) {
    // A link under a new name, renamed over the old one: rename(2) replaces it atomically.
    const fs::path temporary = root_ / (".current-" + randomSuffix());
    std::error_code ec;
    fs::create_directory_symlink(fs::path("versions") / version, temporary, ec);
    if (!ec) fs::rename(temporary, currentLink(), ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw FileSystemError(describeFileError("Could not switch to the new version in", root_, ec.value()));
    }
    syncDirectory(root_);
}

void TarballInstaller::removeOldVersions(const std::string& runningVersion) {
    std::error_code ec;
    const fs::path inUse = fs::read_symlink(currentLink(), ec).filename();
    if (ec || inUse.empty() || inUse != runningVersion) return;
    for (const auto& entry : fs::directory_iterator(root_ / "versions", ec)) {
        if (entry.path().filename() == inUse) continue;
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
    }
}

}  // namespace vhbr
