#include <gtest/gtest.h>

#include <string>

#include "Support/Errors.hpp"
#include "Update/Appcast.hpp"
#include "Update/UpdateDownloader.hpp"

namespace vhbr {
namespace {

constexpr const char* kPlatform = "linux-x86_64-tarball";

// A signed item with a short version string "v<version>" (padded, as feeds often are).
std::string item(const std::string& version, const std::string& os = kPlatform) {
    return "<item><sparkle:version>" + version + "</sparkle:version><sparkle:shortVersionString> v" +
           version + " </sparkle:shortVersionString><enclosure url=\"https://updates.test/v" + version +
           ".tar.gz\" length=\"1234\" sparkle:os=\"" + os + "\" sparkle:edSignature=\"c2ln\"/></item>";
}

// An item with the enclosure's attributes given, for this platform, and an element version if given.
std::string enclosure(const std::string& attributes, const std::string& version = "") {
    return "<item>" + (version.empty() ? "" : "<sparkle:version>" + version + "</sparkle:version>") +
           "<enclosure url=\"https://u.test/a\" sparkle:os=\"" + kPlatform + "\" " + attributes + "/></item>";
}

std::string feed(const std::string& items) {
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>x</title>" +
           items + "</channel></rss>";
}

struct FeedCase {
    const char* name;
    std::string xml;
    std::string running;
    std::string skipped;
    const char* offered;  // nullptr: nothing offered; "error": the feed is refused
};
void PrintTo(const FeedCase& c, std::ostream* os) { *os << c.name; }

class FeedTest : public ::testing::TestWithParam<FeedCase> {};

TEST_P(FeedTest, OffersTheNewestItemForThisPlatformAboveTheRunningVersion) {
    const auto& c = GetParam();
    if (std::string(c.offered ? c.offered : "") == "error") {
        EXPECT_THROW(Appcast::parse(c.xml), AppError);
        return;
    }
    const auto best = Appcast::parse(c.xml).bestItem(kPlatform, c.running, c.skipped);
    if (!c.offered) {
        EXPECT_FALSE(best) << best->version;
        return;
    }
    ASSERT_TRUE(best);
    EXPECT_EQ(best->version, c.offered);
    // The version the dialog shows: the trimmed short version, else the version itself.
    const bool hasShort = c.xml.find("shortVersionString") != std::string::npos;
    EXPECT_EQ(best->shortVersionString, (hasShort ? "v" : "") + std::string(c.offered));
}

const FeedCase kFeeds[] = {
    {"numeric_not_textual", feed(item("1.9") + item("1.10") + item("1.2")), "1.0", "", "1.10"},
    {"release_beats_its_prerelease", feed(item("2.0b1") + item("2.0")), "1.0", "", "2.0"},
    {"prerelease_numbers_numeric", feed(item("2.0b2") + item("2.0b10")), "1.0", "", "2.0b10"},
    {"missing_segment_is_zero", feed(item("1.2.0")), "1.2", "", nullptr},
    {"older_item_not_offered", feed(item("0.9.9")), "1.0.0", "", nullptr},
    // Numbers beyond 64 bits stay in order (a 20-digit number once compared below a 19-digit one).
    {"numbers_beyond_64_bits", feed(item("14844764073709551615") + item("99999999999999999999")), "1.0", "",
     "99999999999999999999"},
    {"segment_by_segment", feed(item("1.2.10") + item("1.3")), "1.2.9", "", "1.3"},
    {"other_platforms_ignored",
     feed(item("3.0", "linux-aarch64-tarball") + item("3.1", "linux-x86_64-deb") + item("1.1")), "1.0", "",
     "1.1"},
    {"no_platform_ignored", feed(item("3.0", "")), "1.0", "", nullptr},
    {"version_as_enclosure_attribute",
     feed(enclosure(R"(sparkle:version="4.0" length="9" sparkle:edSignature="c2ln")")), "1.0", "", "4.0"},
    {"unsigned_item_left_out", feed(enclosure(R"(length="9")", "5.0") + item("1.5")), "1.0", "", "1.5"},
    {"missing_or_bad_length_left_out", feed(enclosure(R"(length="12x" sparkle:edSignature="c2ln")", "5.0")),
     "1.0", "", nullptr},
    {"missing_enclosure_left_out", feed("<item><sparkle:version>5.0</sparkle:version></item>"), "1.0", "",
     nullptr},
    {"missing_version_left_out", feed(enclosure(R"(length="9" sparkle:edSignature="c2ln")")), "1.0", "",
     nullptr},
    {"skipped_version_and_older_quiet", feed(item("1.5") + item("1.4")), "1.0", "1.5", nullptr},
    {"newer_than_skipped_offered", feed(item("1.6") + item("1.5")), "1.0", "1.5", "1.6"},
    {"malformed_xml", "<rss><channel><item></channel>", "1.0", "", "error"},
    {"not_a_feed", "<html><body>login</body></html>", "1.0", "", "error"},
    {"empty_reply", "", "1.0", "", "error"}};
INSTANTIATE_TEST_SUITE_P(Cases, FeedTest, ::testing::ValuesIn(kFeeds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateDownloader, FetchesOnlyOverHttpsOrFromThisMachine) {
    const std::pair<const char*, bool> cases[] = {
        {"https://updates.velvetharbor.example/appcast.xml", true},
        {"http://127.0.0.1:8080/updates/appcast.xml", true},
        {"http://localhost/appcast.xml", true},
        {"http://updates.velvetharbor.example/appcast.xml", false},
        {"http://127.0.0.1.evil.example/appcast.xml", false},
        {"file:///etc/passwd", false},
        {"ftp://updates.velvetharbor.example/a.tar.gz", false},
        {"not a url", false},
    };
    for (const auto& [url, allowed] : cases) EXPECT_EQ(UpdateDownloader::isAllowedURL(url), allowed) << url;
}

}  // namespace
}  // namespace vhbr
