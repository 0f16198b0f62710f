#pragma once
// An advisory lock per clientRequestId, so two processes never run the same upload at once
// (they would share one state file). The lock file under the lock folder
// exists only while its upload runs.
//
// Threads: taken and released by the job thread that runs the upload (or by the main thread for
// a moment, to see whether a part folder left by an earlier version is in use).

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
    std::filesystem::path path_;
    int fd_ = -1;
};

}  // namespace vhbr
