#pragma once
// The one way the system talks to the service's JSON API: POST a JSON body to a path under the
// base URL, optionally with a bearer token.
//
// Threads: a copyable value with no mutable state; call from any thread except the main thread
// (requests block until the reply). Stopping the token cancels a request with CancelledError.

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>

#include "Platform/UrlSession.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

struct APIClientResponse {
    std::int64_t statusCode = 0;
    std::string data;
    std::optional<std::chrono::seconds> retryAfter;  // what a 429 or 503 asked to wait

    // The service's error text: "message" if it is a string, else "error" if it is a string.
    std::optional<std::string> errorMessage() const;
    // Throws APIError::httpStatus with the service's text for a status outside 200–299.
    void requireSuccess() const;
};

// A reply whose content is not used: encodes as {} and decodes from any JSON value.
struct EmptyResponse {
    nlohmann::json toJSON() const { return nlohmann::json::object(); }
};

template <class T>
struct IsOptionalEmptyResponse : std::false_type {};
template <>
struct IsOptionalEmptyResponse<std::optional<EmptyResponse>> : std::true_type {};

class APIClient {
public:
    explicit APIClient(std::string baseURL, UrlSession* session = &UrlSession::shared(),
                       std::chrono::milliseconds timeout = kStallWindow);

    const std::string& baseURL() const { return baseURL_; }
    UrlSession& session() const { return *session_; }
    std::chrono::milliseconds timeout() const { return timeout_; }
    // True for a development service over http on this machine: only then may the URLs it hands
    // out use plain http too.
    bool allowsLoopbackHttp() const;

    // Joins path to the base URL: a leading "/" means piece by piece, one component per segment.
    std::string url(const std::string& path) const;

    // Sends the request and returns status and body without judging the status.
    APIClientResponse postRaw(const std::string& path, const nlohmann::json& body,
                              const std::optional<std::string>& bearerToken, std::stop_token stop = {}) const;

    // Fails with APIError::httpStatus outside 200–299, else decodes the body as T
    // (T::decode(json) for wire types; EmptyResponse skips the body).
    template <class T>
    T postJSON(const std::string& path, const nlohmann::json& body, const std::optional<std::string>& bearerToken,
               std::stop_token stop = {}) const {
        APIClientResponse response = postRaw(path, body, bearerToken, stop);
        response.requireSuccess();
        if constexpr (std::is_same_v<T, EmptyResponse>) {
            return EmptyResponse{};
        } else {
            nlohmann::json json = parseJSON(response.data);
            if constexpr (IsOptionalEmptyResponse<T>::value) {
                return json.is_null() ? T{} : T{EmptyResponse{}};
            } else {
                return T::decode(json);
            }
        }
    }

    // Parses a reply body; an empty or malformed body is a DecodingError.
    static nlohmann::json parseJSON(const std::string& data);

private:
    std::string baseURL_;
    UrlSession* session_;
    std::chrono::milliseconds timeout_;
};

}  // namespace vhbr
