#include <gtest/gtest.h>

#include "Auth/DesktopLoginModels.hpp"
#include "Support/Errors.hpp"

namespace vhbr {
namespace {

using namespace std::chrono;
using nlohmann::json;

// A fixed "now" well away from the instants below, so a fall-back can't pass for a parsed date.
const system_clock::time_point kNow = sys_days{2030y / January / 1} + 12h;

TEST(DesktopLoginModelsTest, RequestsCarryExactlyTheServiceKeys) {
    EXPECT_EQ(DesktopLoginStartRequest{"chal"}.toJSON(), json({{"codeChallenge", "chal"}}));
    EXPECT_EQ((DesktopLoginClaimRequest{"n1", "ver"}.toJSON()),
              json({{"nonce", "n1"}, {"codeVerifier", "ver"}}));
}

TEST(DesktopLoginModelsTest, ExpiryWithFractionalSecondsIsThatInstant) {
    const auto utc =
        DesktopLoginStartResponse::decode({{"nonce", "n1"}, {"expiresAt", "2024-05-06T07:08:09.250Z"}}, kNow);
    EXPECT_EQ(utc.nonce, "n1");
    EXPECT_EQ(utc.expiresAt, sys_days{2024y / May / 6} + 7h + 8min + 9s + 250ms);

    const auto offset = DesktopLoginStartResponse::decode(
        {{"nonce", "n1"}, {"expiresAt", "2024-05-06T09:08:09.5+02:00"}}, kNow);
    EXPECT_EQ(offset.expiresAt, sys_days{2024y / May / 6} + 7h + 8min + 9s + 500ms);
}

TEST(DesktopLoginModelsTest, MissingNullOrUnparsableExpiryFallsBackTo300Seconds) {
    const json cases[] = {
        {{"nonce", "n1"}},
        {{"nonce", "n1"}, {"expiresAt", nullptr}},
        {{"nonce", "n1"}, {"expiresAt", "2024-05-06T07:08:09Z"}},     // no fraction of a second
        {{"nonce", "n1"}, {"expiresAt", "2024-05-06T07:08:09.250"}},  // no zone
        {{"nonce", "n1"}, {"expiresAt", "tomorrow"}},
        {{"nonce", "n1"}, {"expiresAt", ""}},
    };
    for (const auto& body : cases) {
        const auto response = DesktopLoginStartResponse::decode(body, kNow);
        EXPECT_EQ(response.expiresAt, kNow + 300s) << body.dump();
        EXPECT_EQ(response.nonce, "n1");
    }
}

TEST(DesktopLoginModelsTest, FallBackCountsFromTheMomentOfDecoding) {
    const auto before = system_clock::now();
    const auto response = DesktopLoginStartResponse::decode({{"nonce", "n1"}});
    EXPECT_GE(response.expiresAt, before + 300s);
    EXPECT_LE(response.expiresAt, system_clock::now() + 300s);
}

TEST(DesktopLoginModelsTest, StartResponseOfTheWrongShapeIsADecodingError) {
    const json cases[] = {
        {{"nonce", "n1"}, {"expiresAt", 1714979289}},
        {{"nonce", "n1"}, {"expiresAt", json::object()}},
        {{"expiresAt", "2024-05-06T07:08:09.250Z"}},
        {{"nonce", nullptr}},
        {{"nonce", 7}},
        json::array(),
        "n1",
    };
    for (const auto& body : cases)
        EXPECT_THROW(DesktopLoginStartResponse::decode(body, kNow), DecodingError) << body.dump();
}

TEST(DesktopLoginModelsTest, ClaimResponseRequiresAStringToken) {
    EXPECT_EQ(DesktopLoginClaimResponse::decode({{"token", "t1"}, {"user", "ignored"}}).token, "t1");
    EXPECT_THROW(DesktopLoginClaimResponse::decode(json::object()), DecodingError);
    EXPECT_THROW(DesktopLoginClaimResponse::decode({{"token", nullptr}}), DecodingError);
    EXPECT_THROW(DesktopLoginClaimResponse::decode({{"token", 12}}), DecodingError);
}

}  // namespace
}  // namespace vhbr
