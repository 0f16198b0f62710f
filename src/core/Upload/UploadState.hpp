#pragma once
// The persisted state of one upload and its JSON form on disk. Plain values; any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Upload/UploadModels.hpp"

namespace vhbr {

// A part that the object store accepted.
struct CompletedUploadPart {
    std::string eTag{};  // without surrounding double quotes
    std::int64_t partNumber = 0;

    bool operator==(const CompletedUploadPart&) const = default;
};

struct UploadState {
    std::string clientRequestId{};  // also names the state file
    std::optional<std::string> taskId{};
    std::optional<std::string> objectKey{};
    std::optional<std::string> uploadId{};
    MediaDescription media{};  // no path: the bookmark names the file; saved as flat keys
    UploadIntent intent = UploadIntent::subtitle;
    std::string sourceLanguage{};
    std::string targetLanguage{};
    std::vector<CompletedUploadPart> completedParts{};  // ascending partNumber
    std::optional<std::string> sourceBookmark{};        // opaque bytes, see SourceBookmark
    std::chrono::sys_seconds createdAt{};
    std::chrono::sys_seconds updatedAt{};
    // Every byte is with the storage and the completion calls have begun (saved as the step
    // "completing"): a resume repeats them and transfers nothing.
    bool completing = false;

    bool operator==(const UploadState&) const = default;
};

// Compact JSON, absent optionals omitted, dates as "YYYY-MM-DDTHH:MM:SSZ", the bookmark as
// padded Base64. Throws AppError when a text field is not valid UTF-8.
std::string encodeUploadState(const UploadState& state);

// Strict reading: every required key with the right JSON type, integral sizes and part numbers,
// a known intent, whole-second "Z" dates, valid Base64; null counts as absent; unknown keys are
// ignored. Throws DecodingError.
UploadState decodeUploadState(std::string_view json);

// True when id can name a file or folder of its own: not empty, no "/", not hidden, no NUL.
// Guards the store (and the clean-up of old part folders) against a crafted id reaching outside their folder.
bool isUsableAsFileName(std::string_view id);

}  // namespace vhbr

template <>
struct std::hash<vhbr::CompletedUploadPart> {
    std::size_t operator()(const vhbr::CompletedUploadPart& part) const noexcept {
        return std::hash<std::string>{}(part.eTag) ^
               (std::hash<std::int64_t>{}(part.partNumber) * 0x9E3779B97F4A7C15ull);
    }
};
