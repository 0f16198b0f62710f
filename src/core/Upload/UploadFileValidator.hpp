#pragma once
// Decides whether a file can be uploaded and gathers what the service needs to know about it.
//
// Threads: metadata() and durationHint() read the file system and the media headers and may
// block; callers run them on worker threads. Everything here is stateless and any thread may call
// it, several validations at once.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Upload/UploadModels.hpp"

namespace vhbr {

struct UploadFileMetadata {
    MediaDescription media{};
    // Content modification time in seconds since 1970 (UTC), with sub-second precision.
    std::optional<double> modificationDate{};

    bool operator==(const UploadFileMetadata&) const = default;
};

namespace UploadFileValidator {

inline constexpr std::int64_t kMaxFileSize = 5'368'709'120;  // 5 GiB

// The eleven lower-case extensions that can be uploaded.
const std::set<std::string>& allowedExtensions();

// Validates the file and returns its metadata. Throws AppError with the user-facing reason
// (extension, not a regular file, empty, too large), or FileSystemError naming the file and the
// system's reason when its attributes cannot be read. The extension is checked before any file
// access.
UploadFileMetadata metadata(const std::filesystem::path& fileURL);

// The idempotency key of an upload: "mac-" and 24 hex digits of SHA-256 over
// "name|size[|mtime]". Drafts carry no modification date, so a started upload's key depends on
// name and size alone.
std::string clientRequestID(const UploadFileMetadata& metadata);

// The idempotency key of a new upload: the same hash, also over the intent and both languages
// ("name|size[|mtime]|intent|source|target"), so the same file sent again with other choices is a
// new task while the same request meets its own. Saved uploads keep the key they were saved with.
std::string clientRequestID(const UploadFileMetadata& metadata, UploadIntent intent, std::string_view sourceLanguage,
                            std::string_view targetLanguage);

// The media duration in seconds from the container headers; nullopt when the file is not
// readable media or the duration is not a positive finite number. Never throws.
std::optional<double> durationHint(const std::filesystem::path& fileURL);

// The MIME type of an allowed extension; "application/octet-stream" for any other.
std::string mimeType(std::string_view lowercaseExtension);

}  // namespace UploadFileValidator

}  // namespace vhbr
