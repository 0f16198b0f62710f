#include "JsonSchema.hpp"

#include <algorithm>

namespace vhbr::dev {
namespace {

bool hasKind(const nlohmann::json& v, Kind kind) {
    switch (kind) {
    case Kind::String: return v.is_string();
    case Kind::Integer: return v.is_number_integer();
    case Kind::Number: return v.is_number();
    case Kind::Boolean: return v.is_boolean();
    case Kind::Object: return v.is_object();
    case Kind::Array: return v.is_array();
    }
    return false;
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::String: return "a string";
    case Kind::Integer: return "an integer";
    case Kind::Number: return "a number";
    case Kind::Boolean: return "a boolean";
    case Kind::Object: return "an object";
    case Kind::Array: return "an array";
    }
    return "?";
}

}  // namespace

void checkObject(const nlohmann::json& value, std::initializer_list<Field> fields, const std::string& where) {
    if (!value.is_object()) throw HttpError(400, where + " must be a JSON object");
    for (const auto& [key, v] : value.items()) {
        const bool known = std::any_of(fields.begin(), fields.end(), [&](const Field& f) { return key == f.key; });
        if (!known) throw HttpError(400, where + ": unexpected key \"" + key + "\"");
    }
    for (const auto& f : fields) {
        const auto it = value.find(f.key);
        if (it == value.end()) {
            if (f.required) throw HttpError(400, where + ": missing key \"" + std::string(f.key) + "\"");
            continue;
        }
        if (it->is_null())
            throw HttpError(400, where + ": \"" + std::string(f.key) + "\" is null (leave the key out instead)");
        if (!hasKind(*it, f.kind))
            throw HttpError(400, where + ": \"" + std::string(f.key) + "\" must be " + kindName(f.kind));
    }
}

}  // namespace vhbr::dev
