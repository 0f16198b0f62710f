#pragma once
// Request and response bodies of the task and upload endpoints. Requests encode with exactly the
// service's keys, absent optionals left out; responses decode strictly (see Support/JSONFields).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Upload/UploadModels.hpp"

namespace vhbr {

inline constexpr const char* kCreateTaskPath = "/api/new-task/v2/tasks";
inline constexpr const char* kStagedUploadCleanupPath = "/api/new-task/v2/staged-upload-cleanup";

// "/api/new-task/v2/tasks/<taskId>/<step>", the task id inserted as the service gave it.
std::string taskStepPath(const std::string& taskId, const char* step);

struct CreateTaskContract {
    std::string surface = "newTask";
    std::int64_t version = 2;
    nlohmann::json toJSON() const;
};

struct CreateTaskRequest {
    std::string clientRequestId;
    CreateTaskContract contract;
    std::string sourceKind = "file";
    UploadIntent intent = UploadIntent::subtitle;
    std::string sourceLanguage;
    std::string targetLanguage;
    MediaDescription media;  // sent as {fileName, fileSize, mimeType, durationHint}
    nlohmann::json toJSON() const;
};

struct CreateTaskResponse {
    std::string id;
    std::optional<bool> reused;
    static CreateTaskResponse decode(const nlohmann::json& json);
};

struct UploadSessionRequest {
    MediaDescription media;  // sent as fileName, fileType, fileSize
    bool useMultipart = false;
    nlohmann::json toJSON() const;
};

// Services name these fields in more than one way; the first present, non-null key wins.
// Upload URLs are untrusted: only https passes, or http to a loopback address when
// allowLoopbackHttp (a development service on this machine).
struct UploadSessionResponse {
    std::optional<std::string> presignedURL;
    std::optional<std::string> key;
    std::optional<std::string> uploadId;
    std::optional<std::string> objectKey;
    static UploadSessionResponse decode(const nlohmann::json& json, bool allowLoopbackHttp = false);
};

struct UploadPartURLsRequest {
    std::string objectKey;
    std::string uploadId;
    std::int64_t totalParts = 1;
    nlohmann::json toJSON() const;
};

struct UploadPartURL {
    std::int64_t partNumber = 0;
    std::string url;
    bool operator==(const UploadPartURL&) const = default;
};

struct UploadPartURLsResponse {
    std::vector<UploadPartURL> parts;  // numbered by position, from 1
    // The same rule for the URLs as UploadSessionResponse::decode.
    static UploadPartURLsResponse decode(const nlohmann::json& json, bool allowLoopbackHttp = false);
    // Throws AppError unless there is exactly one URL per part: a longer or shorter list means the
    // service answered another request than ours.
    void requireCount(std::int64_t totalParts) const;
};

struct CompleteUploadPart {
    std::string eTag;
    std::int64_t partNumber = 0;
    nlohmann::json toJSON() const;
};

struct CompleteMultipartUploadRequest {
    std::string objectKey;
    std::string uploadId;
    std::vector<CompleteUploadPart> parts;
    nlohmann::json toJSON() const;
};

struct UploadCompleteRequest {
    std::string objectKey;
    std::optional<std::string> r2ObjectUrl;
    MediaDescription media;  // sent as fileName, fileSize, mimeType, videoDuration
    nlohmann::json toJSON() const;
};

struct StagedUploadCleanupRequest {
    std::optional<std::string> taskId;
    std::optional<std::string> objectKey;
    std::optional<std::string> uploadId;
    nlohmann::json toJSON() const;
};

}  // namespace vhbr
