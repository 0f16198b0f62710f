#pragma once
// The on-disk plan of one web download. The web view writes into a private staging directory
// created next to the destination, so the download is on the destination's file system and
// finishing is one atomic rename that also replaces an existing file: the destination holds
// either its old content or the whole download, never a part.
//
// Threads: a value used on the main thread; the file operations block briefly.

#include <filesystem>

namespace vhbr {

class DownloadFile {
public:
    // Creates the staging directory: hidden, mode 0700, in the destination's folder. Throws
    // FileSystemError with the system's description when the folder refuses it.
    explicit DownloadFile(std::filesystem::path destination);

    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& stagingDirectory() const { return stagingDirectory_; }
    // stagingDirectory / "download": the file the web view writes.
    std::filesystem::path stagedFile() const { return stagingDirectory_ / "download"; }

    // Moves the staged file to the destination, replacing a file there. Throws FileSystemError.
    void finish() const;
    // Removes the staging directory and what it holds; failures are ignored.
    void cleanup() const noexcept;

private:
    std::filesystem::path destination_;
    std::filesystem::path stagingDirectory_;
};

}  // namespace vhbr
