#include "Services/APIClient.hpp"

#include <algorithm>
#include <string_view>

#include "Platform/Url.hpp"

namespace vhbr {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A service's text goes to a terminal or a dialog as plain words: escape sequences and control
// characters (which could rewrite what a terminal shows) are dropped, line breaks become spaces.
std::string strippingControlCharacters(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // C1 controls (U+0080–U+009F) are two bytes in UTF-8: 0xC2 then 0x80–0x9F.
        if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            ++i;
            continue;
        }
        if (c == '\n' || c == '\r' || c == '\t') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else if (!isControl(c)) {
            out += static_cast<char>(c);
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

std::optional<std::string> APIClientResponse::errorMessage() const {
    if (data.empty()) return std::nullopt;
    auto json = nlohmann::json::parse(data, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    for (const char* key : {"message", "error"}) {
        auto it = json.find(key);
        if (it != json.end() && it->is_string()) return strippingControlCharacters(it->get<std::string>());
    }
    return std::nullopt;
}

void APIClientResponse::requireSuccess() const {
    if (statusCode < 200 || statusCode > 299)
        throw APIError::httpStatus(statusCode, errorMessage()).withRetryAfter(retryAfter);
}

APIClient::APIClient(std::string baseURL, UrlSession* session, std::chrono::milliseconds timeout)
    : baseURL_(std::move(baseURL)), session_(session), timeout_(timeout) {}

bool APIClient::allowsLoopbackHttp() const { return url::isLoopbackHttp(baseURL_); }

std::string APIClient::url(const std::string& path) const {
    if (!path.starts_with('/')) return url::appendingPathComponent(baseURL_, path);
    std::string result = baseURL_;
    std::string_view rest = path;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view piece = rest.substr(0, slash);
        if (!piece.empty()) result = url::appendingPathComponent(result, piece);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    }
    return result;
}

APIClientResponse APIClient::postRaw(const std::string& path, const nlohmann::json& body,
                                     const std::optional<std::string>& bearerToken, std::stop_token stop) const {
    HttpRequest request;
    request.method = "POST";
    request.url = url(path);
    request.idleTimeout = timeout_;
    request.connectTimeout = timeout_;
    request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    if (bearerToken) {
        // A line break in the token would end the header and start one of the token's choosing.
        if (std::any_of(bearerToken->begin(), bearerToken->end(),
                        [](char c) { return isControl(static_cast<unsigned char>(c)); }))
            throw AppError("The sign-in token is not valid. Sign in again.");
        request.headers.emplace_back("Authorization", "Bearer " + *bearerToken);
    }
    try {
        request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        throw Error("The data couldn't be written because it isn't in the correct format.");
    }
    HttpResponse response = session_->perform(std::move(request), stop);
    if (response.statusCode < 100) throw APIError::invalidResponse();
    return APIClientResponse{response.statusCode, std::move(response.body), response.retryAfter()};
}

nlohmann::json APIClient::parseJSON(const std::string& data) {
    auto json = nlohmann::json::parse(data, nullptr, false);
    if (json.is_discarded()) throw DecodingError(data.empty() ? "The reply was empty." : "The reply is not valid JSON.");
    return json;
}

}  // namespace vhbr
