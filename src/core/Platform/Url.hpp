#pragma once
// URL parsing and building, all through libcurl's URL API.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vhbr::url {

// True when libcurl's parser accepts text as a URL (any scheme, absolute).
bool isValid(std::string_view text);

// True for an http URL whose host is a loopback address (127.0.0.0/8, ::1 or "localhost"): a
// development service on this machine, the one place plain http is acceptable.
bool isLoopbackHttp(std::string_view text);

// True when a transfer may go to text: an https URL, or a loopback http URL when allowLoopbackHttp.
// Every other scheme (file, ftp, ...) is refused: a URL from a reply must never reach the disk.
bool isAllowedTransfer(std::string_view text, bool allowLoopbackHttp);

// reference (absolute or relative, as in a Location header) resolved against base.
std::optional<std::string> resolve(std::string_view base, std::string_view reference);

// Scheme, host and explicit port only; absent when the URL does not parse or has no host.
std::optional<std::string> origin(std::string_view text);

// Appends one path component, percent-encoding what a component may not hold.
std::string appendingPathComponent(std::string_view base, std::string_view component);

// base with its path replaced by path and its query by the encoded items (fragment dropped).
std::optional<std::string> replacingPathAndQuery(std::string_view base, std::string_view path,
                                                 const std::vector<std::pair<std::string, std::string>>& query);

}  // namespace vhbr::url
