#include "Upload/UploadJobLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {

UploadJobLock::UploadJobLock(const std::filesystem::path& directory, const std::string& clientRequestId) {
    // The id comes from a state file, which anyone could have edited: it must not reach outside.
    if (!isUsableAsFileName(clientRequestId))
        throw FileSystemError("The upload key “" + clientRequestId + "” cannot name a lock file.");
    createPrivateDirectories(directory);
    const auto path = directory / (clientRequestId + ".lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) throw FileSystemError(describeFileError("Could not create the lock file", path, errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
        throw AppError("This file is already being uploaded by another Velvetharbor process.");
    }
}

UploadJobLock::~UploadJobLock() {
    // The lock file stays: removing it would let a third process lock a new file while a second
    // still holds the old one.
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace vhbr
