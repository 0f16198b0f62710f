#include <gtest/gtest.h>

#include <fstream>

#include "Config/AppConfig.hpp"
#include "Platform/UserDefaults.hpp"
#include "Support/BundleInfo.hpp"
#include "TempDir.hpp"

namespace vhbr {
namespace {

struct ConfigCase {
    const char* name;
    Environment environment;
    std::map<std::string, std::string> stored;
    std::string webAppURL;
    std::string apiBaseURL;
    std::string webOrigin;
};

class AppConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(AppConfigTest, ResolvesEachURLFromEnvironmentThenDefaultsThenBuiltIn) {
    const auto& c = GetParam();
    test::TempDir dir;
    UserDefaults defaults(dir / "defaults.json");
    for (const auto& [k, v] : c.stored) defaults.set(k, v);
    AppConfig config = AppConfig::current(c.environment, defaults);
    EXPECT_EQ(config.webAppURL, c.webAppURL);
    EXPECT_EQ(config.apiBaseURL, c.apiBaseURL);
    EXPECT_EQ(config.webOrigin(), c.webOrigin);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppConfigTest,
    ::testing::Values(
        ConfigCase{"nothing_set", {}, {}, "https://velvetharbor.example/app", "https://api.velvetharbor.example",
                   "https://velvetharbor.example"},
        ConfigCase{"unparsable_env_falls_to_stored",
                   {{"VHBR_WEB_URL", "::not a url"}},
                   {{"VHBR_WEB_URL", "http://stored.test/app"}},
                   "http://stored.test/app", "https://api.velvetharbor.example", "http://stored.test"},
        ConfigCase{"empty_env_falls_to_stored",
                   {{"VHBR_WEB_URL", ""}},
                   {{"VHBR_WEB_URL", "http://stored.test/x"}},
                   "http://stored.test/x", "https://api.velvetharbor.example", "http://stored.test"},
        ConfigCase{"environment_wins",
                   {{"VHBR_API_URL", "http://env.test:8080/"}},
                   {{"VHBR_API_URL", "http://stored.test"}},
                   "https://velvetharbor.example/app", "http://env.test:8080/", "https://velvetharbor.example"},
        ConfigCase{"origin_keeps_explicit_port",
                   {{"VHBR_WEB_URL", "http://user:pw@web.test:3000/app/x?q=1#f"}},
                   {},
                   "http://user:pw@web.test:3000/app/x?q=1#f", "https://api.velvetharbor.example",
                   "http://web.test:3000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserDefaults, PersistsAcrossInstancesAndSurvivesAGarbageFile) {
    test::TempDir dir;
    {
        UserDefaults defaults(dir / "sub" / "defaults.json");
        defaults.set("VHBR_LAST_INTENT", "translate");
    }
    EXPECT_EQ(UserDefaults(dir / "sub" / "defaults.json").string("VHBR_LAST_INTENT"), "translate");
    std::ofstream(dir / "bad.json") << "{not json";
    EXPECT_EQ(UserDefaults(dir / "bad.json").string("VHBR_LAST_INTENT"), std::nullopt);
}

TEST(BundleInfo, ShortVersionStringFallsBackToZeroZero) {
    EXPECT_EQ(BundleInfo(nlohmann::json{{"CFBundleShortVersionString", "1.4"}}).shortVersionString(), "1.4");
    EXPECT_EQ(BundleInfo(nlohmann::json::object()).shortVersionString(), "0.0");
    EXPECT_EQ(BundleInfo(nlohmann::json{{"CFBundleShortVersionString", 14}}).shortVersionString(), "0.0");
    test::TempDir dir;
    EXPECT_EQ(BundleInfo::load(dir / "missing.json").shortVersionString(), "0.0");
    // The built program carries the project's version.
    EXPECT_EQ(BundleInfo::main().shortVersionString(), VHBR_TEST_PROJECT_VERSION);
}

}  // namespace
}  // namespace vhbr
