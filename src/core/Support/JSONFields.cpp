#include "Support/JSONFields.hpp"

#include "Support/Errors.hpp"

namespace vhbr::json_fields {

namespace {

const nlohmann::json* find(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

[[noreturn]] void missing(const char* key) { throw DecodingError(std::string("No value for the key \"") + key + "\"."); }
[[noreturn]] void mistyped(const char* key, const char* type) {
    throw DecodingError(std::string("Expected ") + type + " for the key \"" + key + "\".");
}

}  // namespace

const nlohmann::json& requireObject(const nlohmann::json& json, const char* what) {
    if (!json.is_object()) throw DecodingError(std::string("Expected an object for ") + what + ".");
    return json;
}

std::string requiredString(const nlohmann::json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) missing(key);
    return *value;
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    const auto* value = find(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) mistyped(key, "a string");
    return value->get<std::string>();
}

std::int64_t requiredInt64(const nlohmann::json& object, const char* key) {
    const auto* value = find(object, key);
    if (!value) missing(key);
    if (value->is_number_unsigned() && value->get<std::uint64_t>() > INT64_MAX) mistyped(key, "a 64-bit integer");
    if (!value->is_number_integer()) mistyped(key, "an integer");
    return value->get<std::int64_t>();
}

std::optional<double> optionalDouble(const nlohmann::json& object, const char* key) {
    const auto* value = find(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number()) mistyped(key, "a number");
    return value->get<double>();
}

std::optional<bool> optionalBool(const nlohmann::json& object, const char* key) {
    const auto* value = find(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) mistyped(key, "a boolean");
    return value->get<bool>();
}

}  // namespace vhbr::json_fields
