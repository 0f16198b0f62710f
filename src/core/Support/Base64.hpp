#pragma once
// Standard Base64 (RFC 4648 alphabet, with padding). Pure functions; any thread.

#include <optional>
#include <string>
#include <string_view>

namespace vhbr {

std::string base64Encode(std::string_view bytes);

// Strict: length a multiple of four, only alphabet characters, "=" only as final padding and
// unused trailing bits zero; anything else (white space included) gives nullopt.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace vhbr
