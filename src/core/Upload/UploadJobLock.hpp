#pragma once
// An advisory lock per clientRequestId, so two processes never run the same upload at once
// (they would share one state file and one part folder).

#include <filesystem>
#include <string>

namespace vhbr {

class UploadJobLock {
public:
    // Takes the lock without waiting. Throws AppError when another process holds it, or
    // FileSystemError when the lock file cannot be made or the id cannot name a file.
    UploadJobLock(const std::filesystem::path& directory, const std::string& clientRequestId);
    ~UploadJobLock();
    UploadJobLock(const UploadJobLock&) = delete;
    UploadJobLock& operator=(const UploadJobLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace vhbr
