#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Auth/PKCE.hpp"

namespace vhbr {
namespace {

bool isBase64URLWithoutPadding(const std::string& text) {
    return text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
           std::string::npos;
}

TEST(PKCETest, ChallengeReproducesTheRFC7636AppendixBVector) {
    EXPECT_EQ(PKCE::codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(PKCETest, VerifiersAreURLSafeWithoutPaddingAndNeverRepeat) {
    const std::pair<std::size_t, std::size_t> lengths[] = {{0, 0}, {1, 2},   {2, 3},
                                                           {3, 4}, {31, 42}, {96, 128}};
    for (const auto& [bytes, characters] : lengths) {
        const std::string verifier = PKCE::makeCodeVerifier(bytes);
        EXPECT_EQ(verifier.size(), characters) << bytes << " bytes";
        EXPECT_TRUE(isBase64URLWithoutPadding(verifier)) << verifier;
    }
    std::set<std::string> seen;
    std::string all;
    for (int i = 0; i < 200; ++i) {
        const std::string verifier = PKCE::makeCodeVerifier(32);  // 43 characters, as the app uses
        EXPECT_EQ(verifier.size(), 43u);
        EXPECT_TRUE(isBase64URLWithoutPadding(verifier + PKCE::codeChallenge(verifier))) << verifier;
        EXPECT_TRUE(seen.insert(verifier).second) << "repeated verifier " << verifier;
        all += verifier;
    }
    // 8,600 random characters: both replacement characters turn up unless the mapping is wrong.
    EXPECT_NE(all.find('-'), std::string::npos);
    EXPECT_NE(all.find('_'), std::string::npos);
}

}  // namespace
}  // namespace vhbr
