#include <gtest/gtest.h>

#include "Auth/DesktopLoginModels.hpp"
#include "Support/Errors.hpp"

namespace vhbr {
namespace {

using namespace std::chrono;
using nlohmann::json;

// A fixed "now" well away from the instants below, so a fall-back can't pass for a parsed date.
const system_clock::time_point kNow = sys_days{2030y / January / 1} + 12h;
const system_clock::time_point kFallBack = kNow + 300s;
const system_clock::time_point kRefused{};  // a DecodingError
const system_clock::time_point kParsed = sys_days{2024y / May / 6} + 7h + 8min + 9s;

TEST(DesktopLoginModelsTest, StartResponseExpiryIsTheInstantGivenOr300SecondsFromNow) {
    const std::pair<json, system_clock::time_point> cases[] = {
        {{{"nonce", "n1"}, {"expiresAt", "2024-05-06T07:08:09.250Z"}}, kParsed + 250ms},
        {{{"nonce", "n1"}, {"expiresAt", "2024-05-06T09:08:09.5+02:00"}}, kParsed + 500ms},
        {{{"nonce", "n1"}}, kFallBack},
        {{{"nonce", "n1"}, {"expiresAt", nullptr}}, kFallBack},
        {{{"nonce", "n1"}, {"expiresAt", "2024-05-06T07:08:09Z"}}, kFallBack},     // no fraction of a second
        {{{"nonce", "n1"}, {"expiresAt", "2024-05-06T07:08:09.250"}}, kFallBack},  // no zone
        {{{"nonce", "n1"}, {"expiresAt", "tomorrow"}}, kFallBack},
        {{{"nonce", "n1"}, {"expiresAt", "9627-03-04T05:06:07.0Z"}}, kFallBack},  // beyond the clock's range
        {{{"nonce", "n1"}, {"expiresAt", 1714979289}}, kRefused},
        {{{"nonce", "n1"}, {"expiresAt", json::object()}}, kRefused},
        {{{"expiresAt", "2024-05-06T07:08:09.250Z"}}, kRefused},
        {{{"nonce", nullptr}}, kRefused},
        {{{"nonce", 7}}, kRefused},
        {json::array(), kRefused},
        {"n1", kRefused},
    };
    for (const auto& [body, expiry] : cases) {
        if (expiry == kRefused) {
            EXPECT_THROW(DesktopLoginStartResponse::decode(body, kNow), DecodingError) << body.dump();
            continue;
        }
        const auto response = DesktopLoginStartResponse::decode(body, kNow);
        EXPECT_EQ(response.expiresAt, expiry) << body.dump();
        EXPECT_EQ(response.nonce, "n1");
    }
    // Without a "now" given, the fall-back counts from the moment of decoding.
    const auto before = system_clock::now();
    EXPECT_GE(DesktopLoginStartResponse::decode({{"nonce", "n1"}}).expiresAt, before + 300s);
}

TEST(DesktopLoginModelsTest, ClaimResponseRequiresAStringToken) {
    EXPECT_EQ(DesktopLoginClaimResponse::decode({{"token", "t1"}, {"user", "ignored"}}).token, "t1");
    for (const json& body : {json::object(), json{{"token", nullptr}}, json{{"token", 12}}})
        EXPECT_THROW(DesktopLoginClaimResponse::decode(body), DecodingError) << body.dump();
}

}  // namespace
}  // namespace vhbr
