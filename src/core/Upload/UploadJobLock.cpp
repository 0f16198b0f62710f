#include "Upload/UploadJobLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {

UploadJobLock::UploadJobLock(const std::filesystem::path& directory, const std::string& clientRequestId) {
    // The id comes from a state file, which anyone could have edited: it must not reach outside.
    if (!isUsableAsFileName(clientRequestId))
        throw FileSystemError("The upload key “" + clientRequestId + "” cannot name a lock file.");
    createPrivateDirectories(directory);
    path_ = directory / (clientRequestId + ".lock");
    // The holder removes the file while it still holds the lock, so a file locked here may have
    // been unlinked meanwhile: only the file still at the path counts, else try the new one.
    for (;;) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) throw FileSystemError(describeFileError("Could not create the lock file", path_, errno));
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(std::exchange(fd_, -1));
            throw AppError("This file is already being uploaded by another Velvetharbor process.");
        }
        struct stat locked{}, atPath{};
        if (::fstat(fd_, &locked) == 0 && ::stat(path_.c_str(), &atPath) == 0 &&
            locked.st_dev == atPath.st_dev && locked.st_ino == atPath.st_ino)
            return;
        ::close(std::exchange(fd_, -1));
    }
}

UploadJobLock::~UploadJobLock() {
    if (fd_ < 0) return;
    // Unlinked before the lock is let go: whoever opened this file meanwhile finds it gone once
    // it gets the lock and takes a fresh one, so no two processes ever hold "the" lock at once.
    ::unlink(path_.c_str());
    ::close(fd_);
}

}  // namespace vhbr
