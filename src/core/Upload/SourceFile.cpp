#include "Upload/SourceFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/AtomicFile.hpp"
#include "Upload/SourceBookmark.hpp"

namespace vhbr {

namespace {

bool sameIdentity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

SourceFile::SourceFile(const std::filesystem::path& path, std::int64_t expectedSize,
                       const std::optional<std::string>& bookmark)
    : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw FileSystemError(describeFileError("Could not open", path, errno));
    if (::fstat(fd_, &opened_) != 0) {
        const int err = errno;
        ::close(fd_);
        throw FileSystemError(describeFileError("Could not read", path, err));
    }
    const bool expected = S_ISREG(opened_.st_mode) && opened_.st_size == expectedSize &&
                          (!bookmark || SourceBookmark::refersTo(*bookmark, opened_));
    if (!expected) {
        ::close(fd_);
        throw changedError(path);
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

SourceFile::~SourceFile() { ::close(fd_); }

std::string SourceFile::bookmark() const { return SourceBookmark::create(path_, opened_); }

void SourceFile::requireUnchanged() const {
    struct stat now {};
    if (::fstat(fd_, &now) != 0 || !sameIdentity(now, opened_)) throw changedError(path_);
}

AppError SourceFile::changedError(const std::filesystem::path& path) {
    return AppError("The file “" + path.filename().string() +
                    "” changed while it was being uploaded. Start this upload again when it is complete.");
}

}  // namespace vhbr
