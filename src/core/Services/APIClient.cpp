#include "Services/APIClient.hpp"

#include <string_view>

#include "Platform/Url.hpp"

namespace vhbr {

std::optional<std::string> APIClientResponse::errorMessage() const {
    if (data.empty()) return std::nullopt;
    auto json = nlohmann::json::parse(data, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    for (const char* key : {"message", "error"}) {
        auto it = json.find(key);
        if (it != json.end() && it->is_string()) return it->get<std::string>();
    }
    return std::nullopt;
}

void APIClientResponse::requireSuccess() const {
    if (statusCode < 200 || statusCode > 299) throw APIError::httpStatus(statusCode, errorMessage());
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
    if (bearerToken) request.headers.emplace_back("Authorization", "Bearer " + *bearerToken);
    try {
        request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        throw Error("The data couldn't be written because it isn't in the correct format.");
    }
    HttpResponse response = session_->perform(std::move(request), stop);
    if (response.statusCode < 100) throw APIError::invalidResponse();
    return APIClientResponse{response.statusCode, std::move(response.body)};
}

nlohmann::json APIClient::parseJSON(const std::string& data) {
    auto json = nlohmann::json::parse(data, nullptr, false);
    if (json.is_discarded()) throw DecodingError(data.empty() ? "The reply was empty." : "The reply is not valid JSON.");
    return json;
}

}  // namespace vhbr
