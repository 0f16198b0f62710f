#pragma once
// Strict readers for JSON objects: a required key that is missing, null or of the wrong type is a
// DecodingError; an optional key may be missing or null, but not of the wrong type.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace vhbr::json_fields {

const nlohmann::json& requireObject(const nlohmann::json& json, const char* what);
std::string requiredString(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
std::int64_t requiredInt64(const nlohmann::json& object, const char* key);
std::optional<double> optionalDouble(const nlohmann::json& object, const char* key);
std::optional<bool> optionalBool(const nlohmann::json& object, const char* key);

// Adds key: value only when the value is present, so absent optionals are never null on the wire.
template <class T>
void putOptional(nlohmann::json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

}  // namespace vhbr::json_fields
