#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Update/UpdateVerifier.hpp"
#include "UpdateSigning.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSize = 100000;

struct Published {
    std::uint64_t length;
    std::string signature;
    std::string publicKey;
};

struct VerifyCase {
    const char* name;
    // Changes the downloaded file or what was published, starting from a good, signed file.
    std::function<void(const fs::path& file, Published&)> tamper;
    const char* reason;  // nullptr: accepted; else a part of the message the user reads
};
void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class VerifierTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifierTest, AcceptsOnlyTheSignedFileOfThePublishedSize) {
    const auto& c = GetParam();
    test::TempDir dir;
    const fs::path file = test::writePatternFile(dir / "update.tar.gz", kSize);
    const auto keys = dev::generateUpdateKeyPair();
    Published published{kSize, dev::signUpdateFile(file, keys.privateKey), keys.publicKey};
    c.tamper(file, published);
    if (!c.reason) {
        EXPECT_NO_THROW(
            UpdateVerifier::verify(file, published.length, published.signature, published.publicKey));
        EXPECT_TRUE(fs::exists(file));
        return;
    }
    try {
        UpdateVerifier::verify(file, published.length, published.signature, published.publicKey);
        FAIL() << "accepted";
    } catch (const AppError& e) {
        EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(file)) << "a refused file is deleted";
}

void flipByte(const fs::path& file, std::uint64_t at) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(at));
    const char c = static_cast<char>(f.get() ^ 0x01);
    f.seekp(static_cast<std::streamoff>(at));
    f.put(c);
}

const VerifyCase kCases[] = {
    {"good", [](const fs::path&, Published&) {}, nullptr},
    {"one_flipped_byte", [](const fs::path& f, Published&) { flipByte(f, kSize / 2); },
     "signature does not match"},
    {"wrong_key", [](const fs::path&, Published& p) { p.publicKey = dev::generateUpdateKeyPair().publicKey; },
     "signature does not match"},
    {"truncated_download", [](const fs::path& f, Published&) { fs::resize_file(f, kSize - 10); },
     "published size"},
    {"malformed_signature", [](const fs::path&, Published& p) { p.signature = "bm90IGEgc2lnbmF0dXJl"; },
     "signature is missing or malformed"},
    {"malformed_key", [](const fs::path&, Published& p) { p.publicKey = "AAAA"; }, "no valid public key"}};
INSTANTIATE_TEST_SUITE_P(Cases, VerifierTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vhbr
