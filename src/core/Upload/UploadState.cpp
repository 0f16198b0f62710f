#include "Upload/UploadState.hpp"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "Support/Base64.hpp"
#include "Support/Errors.hpp"
#include "Support/ISO8601.hpp"

namespace vhbr {

namespace {

using nlohmann::json;

void putOptional(nlohmann::ordered_json& object, const char* key, const std::optional<std::string>& value) {
    if (value) object[key] = *value;
}

[[noreturn]] void fail(const std::string& key, const char* problem) {
    throw DecodingError("“" + key + "” " + problem + ".");
}

// The value under key, or nullptr when it is missing or null.
const json* find(const json& object, const std::string& key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

const json& require(const json& object, const std::string& key) {
    const json* value = find(object, key);
    if (!value) fail(key, "is missing");
    return *value;
}

std::string stringValue(const json& value, const std::string& key) {
    if (!value.is_string()) fail(key, "is not a string");
    return value.get<std::string>();
}

std::int64_t integerValue(const json& value, const std::string& key) {
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > std::numeric_limits<std::int64_t>::max())
        fail(key, "is out of range");
    if (!value.is_number_integer()) fail(key, "is not an integer");
    return value.get<std::int64_t>();
}

std::string requiredString(const json& object, const std::string& key) {
    return stringValue(require(object, key), key);
}

std::optional<std::string> optionalString(const json& object, const std::string& key) {
    const json* value = find(object, key);
    if (!value) return std::nullopt;
    return stringValue(*value, key);
}

std::chrono::sys_seconds requiredDate(const json& object, const std::string& key) {
    auto date = parseISO8601Seconds(requiredString(object, key));
    if (!date) fail(key, "is not a date of the form 2025-03-04T05:06:07Z");
    return *date;
}

std::optional<double> optionalNumber(const json& object, const std::string& key) {
    const json* value = find(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number()) fail(key, "is not a number");
    return value->get<double>();
}

std::vector<CompletedUploadPart> completedParts(const json& object) {
    const json& array = require(object, "completedParts");
    if (!array.is_array()) fail("completedParts", "is not an array");
    std::vector<CompletedUploadPart> parts;
    for (const json& part : array) {
        if (!part.is_object()) fail("completedParts", "holds an entry that is not an object");
        parts.push_back(
            {requiredString(part, "eTag"), integerValue(require(part, "partNumber"), "partNumber")});
    }
    return parts;
}

UploadState decodeObject(const json& object) {
    if (!object.is_object()) throw DecodingError("The upload state is not a JSON object.");
    const std::string rawIntent = requiredString(object, "intent");
    const auto intent = uploadIntentFromRaw(rawIntent);
    if (!intent) fail("intent", "is neither \"subtitle\" nor \"translate\"");
    std::optional<std::string> bookmark;
    if (auto text = optionalString(object, "sourceBookmark")) {
        bookmark = base64Decode(*text);
        if (!bookmark) fail("sourceBookmark", "is not valid Base64");
    }
    return UploadState{
        .clientRequestId = requiredString(object, "clientRequestId"),
        .taskId = optionalString(object, "taskId"),
        .objectKey = optionalString(object, "objectKey"),
        .uploadId = optionalString(object, "uploadId"),
        .media = {.fileName = requiredString(object, "fileName"),
                  .fileSize = integerValue(require(object, "fileSize"), "fileSize"),
                  .mimeType = requiredString(object, "mimeType"),
                  .durationHint = optionalNumber(object, "durationHint")},
        .intent = *intent,
        .sourceLanguage = requiredString(object, "sourceLanguage"),
        .targetLanguage = requiredString(object, "targetLanguage"),
        .completedParts = completedParts(object),
        .sourceBookmark = std::move(bookmark),
        .createdAt = requiredDate(object, "createdAt"),
        .updatedAt = requiredDate(object, "updatedAt"),
        .completing = optionalString(object, "step") == "completing",
    };
}

}  // namespace

std::string encodeUploadState(const UploadState& state) {
    nlohmann::ordered_json object;
    object["clientRequestId"] = state.clientRequestId;
    putOptional(object, "taskId", state.taskId);
    putOptional(object, "objectKey", state.objectKey);
    putOptional(object, "uploadId", state.uploadId);
    object["fileName"] = state.media.fileName;
    object["fileSize"] = state.media.fileSize;
    object["mimeType"] = state.media.mimeType;
    // JSON has no non-finite numbers; such a hint is as good as unknown.
    if (state.media.durationHint && std::isfinite(*state.media.durationHint))
        object["durationHint"] = *state.media.durationHint;
    object["intent"] = rawValue(state.intent);
    object["sourceLanguage"] = state.sourceLanguage;
    object["targetLanguage"] = state.targetLanguage;
    object["completedParts"] = nlohmann::ordered_json::array();
    for (const auto& part : state.completedParts)
        object["completedParts"].push_back({{"eTag", part.eTag}, {"partNumber", part.partNumber}});
    if (state.sourceBookmark) object["sourceBookmark"] = base64Encode(*state.sourceBookmark);
    if (state.completing) object["step"] = "completing";
    object["createdAt"] = formatISO8601(state.createdAt);
    object["updatedAt"] = formatISO8601(state.updatedAt);
    try {
        return object.dump();
    } catch (const nlohmann::json::type_error&) {
        throw AppError("The upload state could not be saved because a name in it is not valid UTF-8 text.");
    }
}

UploadState decodeUploadState(std::string_view text) {
    json object;
    try {
        object = json::parse(text);
    } catch (const json::exception& e) {
        throw DecodingError(e.what());
    }
    return decodeObject(object);
}

bool isUsableAsFileName(std::string_view id) {
    return !id.empty() && id.front() != '.' && id.find('/') == std::string_view::npos &&
           id.find('\0') == std::string_view::npos;
}

}  // namespace vhbr
