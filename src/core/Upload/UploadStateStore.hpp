#pragma once
// The folder of unfinished upload states: one "<clientRequestId>.json" per upload.
//
// Threads: no lock. Each upload's job is the only one that saves or removes its file, so calls
// for one clientRequestId never overlap and different uploads touch different files; loading
// runs once at start-up.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Support/Log.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {

class UploadStateStore {
public:
    // nullopt means uploadsDirectory(). The folder is created (mode 0700, with parents) if
    // missing. Throws FileSystemError.
    explicit UploadStateStore(std::optional<std::filesystem::path> directory = std::nullopt);

    const std::filesystem::path& directory() const noexcept { return directory_; }

    // Writes the state as given, atomically replacing any earlier file; a failure leaves the
    // earlier file intact. Throws FileSystemError, or AppError when the state cannot be encoded.
    void save(const UploadState& state) const;

    // Every readable state, most recently updated first (ties keep listing order). Files that
    // cannot be read or decoded, or are implausibly large, are skipped and left on disk. A missing
    // folder gives an empty list; a folder that cannot be listed throws FileSystemError.
    // Files that cannot be read or decoded are left in place and named in the log.
    std::vector<UploadState> loadIncompleteStates(const Log& log = {}) const;

    // Deletes the upload's file; nothing to delete is fine. Throws FileSystemError.
    void remove(const std::string& clientRequestId) const;

private:
    std::filesystem::path fileFor(const std::string& clientRequestId) const;

    std::filesystem::path directory_;
};

}  // namespace vhbr
