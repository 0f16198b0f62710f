#include "Upload/UploadAPIModels.hpp"

#include "Platform/Url.hpp"
#include "Support/Errors.hpp"
#include "Support/JSONFields.hpp"

namespace vhbr {

using nlohmann::json;
using namespace json_fields;

std::string taskStepPath(const std::string& taskId, const char* step) {
    return std::string(kCreateTaskPath) + "/" + taskId + "/" + step;
}

json CreateTaskContract::toJSON() const { return {{"surface", surface}, {"version", version}}; }

namespace {

json mediaJSON(const MediaDescription& media) {
    json j = {{"fileName", media.fileName}, {"fileSize", media.fileSize}, {"mimeType", media.mimeType}};
    putOptional(j, "durationHint", media.durationHint);
    return j;
}

}  // namespace

json CreateTaskRequest::toJSON() const {
    return {{"clientRequestId", clientRequestId},
            {"contract", contract.toJSON()},
            {"sourceKind", sourceKind},
            {"intent", rawValue(intent)},
            {"sourceLanguage", sourceLanguage},
            {"targetLanguage", targetLanguage},
            {"media", mediaJSON(media)}};
}

CreateTaskResponse CreateTaskResponse::decode(const json& j) {
    requireObject(j, "the created task");
    return {requiredString(j, "id"), optionalBool(j, "reused")};
}

json UploadSessionRequest::toJSON() const {
    return {{"fileName", media.fileName},
            {"fileType", media.mimeType},
            {"fileSize", media.fileSize},
            {"useMultipart", useMultipart}};
}

namespace {

// The first of keys present with a non-null value; a wrong type there fails without trying later keys.
std::optional<std::string> firstString(const json& j, std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        if (auto value = optionalString(j, key)) return value;
    return std::nullopt;
}

}  // namespace

UploadSessionResponse UploadSessionResponse::decode(const json& j, bool allowLoopbackHttp) {
    requireObject(j, "the upload session");
    UploadSessionResponse r;
    r.presignedURL = firstString(j, {"presignedURL", "presignedUrl", "PresignedUrl"});
    if (r.presignedURL && !url::isValid(*r.presignedURL)) throw DecodingError("The presigned URL is not a valid URL.");
    if (r.presignedURL && !url::isAllowedTransfer(*r.presignedURL, allowLoopbackHttp))
        throw DecodingError("The presigned URL does not use https.");
    r.key = firstString(j, {"key", "Key"});
    r.uploadId = firstString(j, {"uploadId", "UploadId"});
    r.objectKey = firstString(j, {"objectKey"});
    return r;
}

json UploadPartURLsRequest::toJSON() const {
    return {{"objectKey", objectKey}, {"uploadId", uploadId}, {"totalParts", totalParts}};
}

UploadPartURLsResponse UploadPartURLsResponse::decode(const json& j, bool allowLoopbackHttp) {
    requireObject(j, "the part URLs");
    auto it = j.find("presignedUrls");
    if (it == j.end() || it->is_null()) throw DecodingError("No value for the key \"presignedUrls\".");
    if (!it->is_array()) throw DecodingError("Expected an array for the key \"presignedUrls\".");
    UploadPartURLsResponse r;
    for (std::size_t i = 0; i < it->size(); ++i) {
        const json& element = (*it)[i];
        if (!element.is_string() || !url::isValid(element.get_ref<const std::string&>()))
            throw DecodingError("Invalid presigned URL at index " + std::to_string(i) + ".");
        if (!url::isAllowedTransfer(element.get_ref<const std::string&>(), allowLoopbackHttp))
            throw DecodingError("The presigned URL at index " + std::to_string(i) + " does not use https.");
        r.parts.push_back({static_cast<std::int64_t>(i) + 1, element.get<std::string>()});
    }
    return r;
}

void UploadPartURLsResponse::requireCount(std::int64_t totalParts) const {
    if (static_cast<std::int64_t>(parts.size()) == totalParts) return;
    throw AppError("The service sent " + std::to_string(parts.size()) + " upload URLs for " +
                   std::to_string(totalParts) + " parts.");
}

json CompleteUploadPart::toJSON() const { return {{"ETag", eTag}, {"PartNumber", partNumber}}; }

json CompleteMultipartUploadRequest::toJSON() const {
    json list = json::array();
    for (const auto& part : parts) list.push_back(part.toJSON());
    return {{"objectKey", objectKey}, {"uploadId", uploadId}, {"parts", std::move(list)}};
}

json UploadCompleteRequest::toJSON() const {
    json j = {{"objectKey", objectKey},
              {"fileName", media.fileName},
              {"fileSize", media.fileSize},
              {"mimeType", media.mimeType}};
    putOptional(j, "r2ObjectUrl", r2ObjectUrl);
    putOptional(j, "videoDuration", media.durationHint);
    return j;
}

json StagedUploadCleanupRequest::toJSON() const {
    json j = json::object();
    putOptional(j, "taskId", taskId);
    putOptional(j, "objectKey", objectKey);
    putOptional(j, "uploadId", uploadId);
    return j;
}

}  // namespace vhbr
