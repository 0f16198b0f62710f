#pragma once

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace vhbr::dev {

// A refusal with an HTTP status; the message goes back to the client as {"message": ...}.
struct HttpError : std::runtime_error {
    HttpError(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    int status;
};

enum class Kind { String, Integer, Number, Boolean, Object, Array };

struct Field {
    const char* key;
    Kind kind;
    bool required = true;
};

// Checks that `value` is an object with exactly these keys (optional ones may be absent, never
// null) and these JSON types; anything else is a 400 naming the offending key.
void checkObject(const nlohmann::json& value, std::initializer_list<Field> fields, const std::string& where = "body");

}  // namespace vhbr::dev
