#include "Platform/Url.hpp"

#include <curl/curl.h>

#include <memory>

namespace vhbr::url {

namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

UrlHandle parse(std::string_view text) {
    UrlHandle u(curl_url());
    if (curl_url_set(u.get(), CURLUPART_URL, std::string(text).c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return nullptr;
    return u;
}

std::optional<std::string> part(CURLU* u, CURLUPart which, unsigned flags = 0) {
    char* value = nullptr;
    if (curl_url_get(u, which, &value, flags) != CURLUE_OK) return std::nullopt;
    std::string out(value);
    curl_free(value);
    return out;
}

// The encoding of one path component or query value: unreserved characters stay as they are.
std::string escape(std::string_view raw) {
    char* escaped = curl_easy_escape(nullptr, raw.data(), static_cast<int>(raw.size()));
    std::string out(escaped ? escaped : "");
    curl_free(escaped);
    return out;
}

}  // namespace

bool isValid(std::string_view text) { return !text.empty() && parse(text) != nullptr; }

bool isLoopbackHttp(std::string_view text) {
    auto u = parse(text);
    if (!u || part(u.get(), CURLUPART_SCHEME) != "http") return false;
    const std::string host = part(u.get(), CURLUPART_HOST).value_or("");
    const bool ipv4Loopback = host.starts_with("127.") && host.find_first_not_of("0123456789.") == std::string::npos;
    return ipv4Loopback || host == "localhost" || host == "[::1]";
}

bool isAllowedTransfer(std::string_view text, bool allowLoopbackHttp) {
    auto u = parse(text);
    if (!u) return false;
    const auto host = part(u.get(), CURLUPART_HOST);
    if (!host || host->empty()) return false;
    if (part(u.get(), CURLUPART_SCHEME) == "https") return true;
    return allowLoopbackHttp && isLoopbackHttp(text);
}

std::optional<std::string> resolve(std::string_view base, std::string_view reference) {
    auto u = parse(base);
    if (!u) return std::nullopt;
    if (curl_url_set(u.get(), CURLUPART_URL, std::string(reference).c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    return part(u.get(), CURLUPART_URL);
}

std::optional<std::string> origin(std::string_view text) {
    auto u = parse(text);
    if (!u) return std::nullopt;
    auto scheme = part(u.get(), CURLUPART_SCHEME);
    auto host = part(u.get(), CURLUPART_HOST);
    if (!scheme || !host || host->empty()) return std::nullopt;
    UrlHandle out(curl_url());
    curl_url_set(out.get(), CURLUPART_SCHEME, scheme->c_str(), CURLU_NON_SUPPORT_SCHEME);
    curl_url_set(out.get(), CURLUPART_HOST, host->c_str(), 0);
    if (auto port = part(u.get(), CURLUPART_PORT)) curl_url_set(out.get(), CURLUPART_PORT, port->c_str(), 0);
    auto whole = part(out.get(), CURLUPART_URL);
    if (!whole) return std::nullopt;
    // libcurl always writes a "/" path; an origin has none.
    if (whole->ends_with('/')) whole->pop_back();
    return whole;
}

std::string appendingPathComponent(std::string_view base, std::string_view component) {
    auto u = parse(base);
    if (!u) return std::string(base);
    std::string path = part(u.get(), CURLUPART_PATH).value_or("/");
    if (!path.ends_with('/')) path += '/';
    // "." and ".." would read as "this folder" and "the folder above", and URL normalisation
    // would remove them with the component before: a task id ".." sent a task's request to
    // another endpoint. Encoded, they stay one component of their own.
    if (component == "." || component == "..")
        path += component == "." ? "%2e" : "%2e%2e";
    else
        path += escape(component);
    curl_url_set(u.get(), CURLUPART_PATH, path.c_str(), 0);
    return part(u.get(), CURLUPART_URL).value_or(std::string(base));
}

std::optional<std::string> replacingPathAndQuery(std::string_view base, std::string_view path,
                                                 const std::vector<std::pair<std::string, std::string>>& query) {
    auto u = parse(base);
    if (!u) return std::nullopt;
    if (curl_url_set(u.get(), CURLUPART_PATH, std::string(path).c_str(), 0) != CURLUE_OK) return std::nullopt;
    curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0);
    curl_url_set(u.get(), CURLUPART_QUERY, nullptr, 0);
    for (const auto& [name, value] : query) {
        const std::string item = name + "=" + value;
        if (curl_url_set(u.get(), CURLUPART_QUERY, item.c_str(), CURLU_APPENDQUERY | CURLU_URLENCODE) != CURLUE_OK)
            return std::nullopt;
    }
    return part(u.get(), CURLUPART_URL);
}

}  // namespace vhbr::url
