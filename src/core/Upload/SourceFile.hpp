#pragma once
// An upload's source file, opened once per run. Every byte the upload sends comes from this one
// descriptor, and the file's identity (device, inode, size, modification time) is checked against
// what was validated or saved when it opens and again before the upload completes, so a file that
// is rewritten, truncated or still being written never becomes a completed task.
//
// Threads: owned by one upload job (a worker thread); the descriptor may be read from other
// threads (with pread) while the job waits for them.

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "Support/Errors.hpp"

namespace vhbr {

class SourceFile {
public:
    // Opens path and checks that it is a regular file of expectedSize bytes and, when a bookmark
    // is given, the very file it names. Throws AppError (see changedError) when it is not,
    // FileSystemError when it cannot be opened.
    SourceFile(const std::filesystem::path& path, std::int64_t expectedSize,
               const std::optional<std::string>& bookmark);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    int descriptor() const { return fd_; }
    const std::filesystem::path& path() const { return path_; }
    // A bookmark of the file as opened, for the state of a new upload.
    std::string bookmark() const;

    // Throws changedError unless the open file still has the identity it had when opened.
    void requireUnchanged() const;

    // The failure of an upload whose source changed under it.
    static AppError changedError(const std::filesystem::path& path);

private:
    std::filesystem::path path_;
    int fd_ = -1;
    struct stat opened_ {};
};

}  // namespace vhbr
