#pragma once
// Bodies of the two desktop sign-in endpoints. Requests encode with exactly the service's keys;
// responses decode strictly (see Support/JSONFields), except the start response's lenient expiry.
// Plain values; any thread.

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

namespace vhbr {

struct DesktopLoginStartRequest {
    std::string codeChallenge;
    nlohmann::json toJSON() const;
};

struct DesktopLoginStartResponse {
    // How long a sign-in request lives when the service does not say.
    static constexpr std::chrono::seconds defaultLifetime{300};

    std::string nonce;
    std::chrono::system_clock::time_point expiresAt;

    // "expiresAt" that is missing, null or not ISO 8601 with fractional seconds and a zone means
    // now + defaultLifetime; any JSON type but a string is a DecodingError.
    static DesktopLoginStartResponse decode(
        const nlohmann::json& json,
        std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
};

struct DesktopLoginClaimRequest {
    std::string nonce;
    std::string codeVerifier;
    nlohmann::json toJSON() const;
};

struct DesktopLoginClaimResponse {
    std::string token;
    static DesktopLoginClaimResponse decode(const nlohmann::json& json);
};

}  // namespace vhbr
