#include "Auth/DesktopLoginModels.hpp"

#include "Support/ISO8601.hpp"
#include "Support/JSONFields.hpp"

namespace vhbr {

using nlohmann::json;
using namespace json_fields;

json DesktopLoginStartRequest::toJSON() const { return {{"codeChallenge", codeChallenge}}; }

DesktopLoginStartResponse DesktopLoginStartResponse::decode(const json& j,
                                                            std::chrono::system_clock::time_point now) {
    requireObject(j, "the sign-in start response");
    DesktopLoginStartResponse response{requiredString(j, "nonce"), now + defaultLifetime};
    if (auto text = optionalString(j, "expiresAt")) {
        if (auto instant = parseISO8601Fractional(*text)) response.expiresAt = *instant;
    }
    return response;
}

json DesktopLoginClaimRequest::toJSON() const { return {{"nonce", nonce}, {"codeVerifier", codeVerifier}}; }

DesktopLoginClaimResponse DesktopLoginClaimResponse::decode(const json& j) {
    requireObject(j, "the sign-in claim response");
    return {requiredString(j, "token")};
}

}  // namespace vhbr
