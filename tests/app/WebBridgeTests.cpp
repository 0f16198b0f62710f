// The JavaScript bridge on its own: what it reads from the web app's messages, whom it takes them
// from, and when it runs the sign-in and bearer-token scripts.

#include <gtest/gtest.h>

#include <future>

#include "AppTestSupport.hpp"
#include "Platform/RunLoop.hpp"
#include "WebBridge.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;

constexpr const char* kWebApp = "http://127.0.0.1:9/app";
constexpr const char* kNotReady = "Velvetharbor is not ready yet.";
constexpr const char* kOpenApp = "Open Velvetharbor to continue.";
const ScriptMessageSource kFromWebApp{"http://127.0.0.1:9", true};

class WebBridgeTest : public ::testing::Test {
protected:
    WebBridgeTest() {
        bridge.authStateReported.connect([this](const ShellAuthState& state) { reported.push_back(state); });
        bridge.loginRequested.connect([this] { ++loginRequests; });
        bridge.taskFinished.connect([this](const std::string& id) { finishedTasks.push_back(id); });
    }

    std::string await(std::future<std::string>& future) { return awaitResult(loop, future); }

    RunLoop loop;
    TestWebShell shell{loop};
    WebBridge bridge{loop, "http://127.0.0.1:9"};
    std::vector<ShellAuthState> reported;
    int loginRequests = 0;
    std::vector<std::string> finishedTasks;
};

// ---- Messages of the web app ----

TEST_F(WebBridgeTest, ReportsTheUserTheWebAppNames) {
    const std::pair<const char*, std::optional<ShellAuthState>> cases[] = {
        {R"({"type":"authState","signedIn":true,"uid":"u1","email":"a@b.c"})",
         ShellAuthState::signedIn("u1", "a@b.c")},
        {R"({"type":"authState","signedIn":true,"uid":7})",
         ShellAuthState::signedIn(std::nullopt, std::nullopt)},
        {R"({"type":"authState"})", ShellAuthState::signedOut()},
        {R"({"type":"authState","signedIn":"true"})", ShellAuthState::signedOut()},
        {R"({"type":"AuthState","signedIn":true})", std::nullopt},  // types are case-sensitive
        {R"(["authState"])", std::nullopt},
        {R"({"type":"startLogin"})", std::nullopt}};
    for (const auto& [body, state] : cases) {
        reported.clear();
        bridge.handleMessage(json::parse(body), kFromWebApp);
        EXPECT_EQ(reported, state ? std::vector{*state} : std::vector<ShellAuthState>{}) << body;
    }
    EXPECT_EQ(loginRequests, 1);
}

TEST_F(WebBridgeTest, ReportsTasksThatAreDone) {
    const std::pair<const char*, const char*> cases[] = {
        // the message, the task reported
        {R"({"type":"taskStatusChanged","id":5,"taskId":"t1","status":"done"})", "t1"},
        {R"({"type":"taskCreated","id":5})", ""},                                  // no identifier
        {R"({"type":"taskStatusChanged","id":"t2","status":"COMPLETED"})", "t2"},  // status in any case
        {R"({"type":"taskCreated","id":"t3","status":"failed"})", ""},             // status not finished
        {R"({"type":"taskStatusChanged","id":"t4"})", ""},                         // change without status
        {R"({"type":"taskCreated","id":"t5"})", "t5"},                             // creation without one
        {R"({"type":"taskCreated","id":"t6","status":1})", "t6"}};                 // status no string
    for (const auto& [body, task] : cases) {
        finishedTasks.clear();
        bridge.handleMessage(json::parse(body), kFromWebApp);
        EXPECT_EQ(finishedTasks, *task ? std::vector<std::string>{task} : std::vector<std::string>{}) << body;
    }
    EXPECT_TRUE(reported.empty());
}

TEST_F(WebBridgeTest, TakesMessagesOnlyFromTheWebAppsMainFrame) {
    const std::pair<ScriptMessageSource, bool> cases[] = {
        {{"http://127.0.0.1:9", true}, true},
        {{"http://127.0.0.1:9", false}, false},  // a frame of the web app's own origin
        {{"http://localhost:9", false}, false},  // a frame of another site inside the web app
        {{"http://localhost:9", true}, false},   // another site's page
        {{"https://127.0.0.1:9", true}, false},  // another scheme
        {{"null", true}, false},                 // an opaque origin (a sandboxed or data: page)
    };
    for (const auto& [source, taken] : cases) {
        reported.clear();
        bridge.handleMessage({{"type", "authState"}, {"signedIn", true}}, source);
        EXPECT_EQ(reported.size(), taken ? 1u : 0u) << source.origin << " main frame " << source.mainFrame;
    }
}

// The relay's envelope: the message and who sent it. Whatever is missing reads as a stranger.
TEST(WebBridge, UnwrapsTheRelaysEnvelope) {
    struct Case {
        const char* envelope;
        bool read;
        json body;
        std::string origin;
        bool mainFrame;
    };
    const Case cases[] = {{R"({"origin":"http://a.test","mainFrame":true,"body":{"type":"x"}})",
                           true,
                           {{"type", "x"}},
                           "http://a.test",
                           true},
                          {R"({"origin":"http://a.test","mainFrame":false,"body":[1]})", true,
                           json::array({1}), "http://a.test", false},
                          {R"({"origin":7,"mainFrame":"yes","body":"hi"})", true, "hi", "", false},
                          {R"({"body":null})", true, nullptr, "", false},
                          {R"({})", true, nullptr, "", false},
                          {R"(["origin"])", false, nullptr, "", false},
                          {R"("text")", false, nullptr, "", false}};
    for (const auto& c : cases) {
        const auto message = WebBridge::unwrap(json::parse(c.envelope));
        ASSERT_EQ(message.has_value(), c.read) << c.envelope;
        if (!message) continue;
        EXPECT_EQ(message->body, c.body) << c.envelope;
        EXPECT_EQ(message->source.origin, c.origin) << c.envelope;
        EXPECT_EQ(message->source.mainFrame, c.mainFrame) << c.envelope;
    }
}

// ---- The scripts run for the web app only ----

struct OriginCase {
    const char* name;
    bool hasWebView;
    std::optional<std::string> page;  // committed
    const char* refusal;              // nullptr: the bridge works
    std::optional<std::string> pending = std::nullopt;
};
void PrintTo(const OriginCase& c, std::ostream* os) { *os << c.name; }

class OriginLockTest : public WebBridgeTest, public ::testing::WithParamInterface<OriginCase> {};

TEST_P(OriginLockTest, ScriptsRunOnlyOnTheWebAppsOrigin) {
    const auto& c = GetParam();
    shell.page = c.page;
    shell.pending = c.pending;
    shell.answer = [](const auto&) { return ScriptResult{"tok", std::nullopt}; };
    if (c.hasWebView) bridge.setWebShell(&shell);

    auto token = bridge.idToken();
    std::promise<std::string> handedOver;
    auto handOver = handedOver.get_future();
    bridge.signInWebView("sign-in-token", [&](std::exception_ptr e) {
        e ? handedOver.set_exception(e) : handedOver.set_value("ok");
    });
    const std::string tokenResult = await(token);

    if (!c.refusal) {
        EXPECT_EQ(tokenResult, "tok");
        EXPECT_EQ(await(handOver), "ok");
        EXPECT_EQ(shell.calls.size(), 2u);
        return;
    }
    EXPECT_EQ(tokenResult, std::string("error: ") + c.refusal);
    EXPECT_EQ(await(handOver), std::string("error: ") + c.refusal);
    EXPECT_TRUE(shell.calls.empty()) << "a script ran outside the web app";
}

const OriginCase kOrigins[] = {
    {"NoWebView", false, std::nullopt, kNotReady},
    {"NoPageYet", true, std::nullopt, kNotReady},
    {"WebAppPage", true, "http://127.0.0.1:9/app/task/1?x=2", nullptr},
    {"Https", true, "https://127.0.0.1:9/app", kOpenApp},
    {"OtherPort", true, "http://127.0.0.1:10/app", kOpenApp},
    {"OtherHost", true, "http://localhost:9/app", kOpenApp},
    {"AboutBlank", true, "about:blank", kOpenApp},
    {"OtherSiteLoadingTheWebApp", true, "http://evil.test/", kOpenApp, "http://127.0.0.1:9/app"},
    {"WebAppLoadingOtherSite", true, "http://127.0.0.1:9/app", nullptr, "http://evil.test/"}};
INSTANTIATE_TEST_SUITE_P(WebBridge, OriginLockTest, ::testing::ValuesIn(kOrigins),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WebBridgeTest, OnlyANonEmptyStringIsAToken) {
    shell.page = kWebApp;
    bridge.setWebShell(&shell);
    const std::string signInFirst = "error: Sign in before starting a native upload.";
    const std::pair<ScriptResult, std::string> cases[] = {
        {{"abc", std::nullopt}, "abc"},
        {{"", std::nullopt}, signInFirst},
        {{nullptr, std::nullopt}, signInFirst},
        {{42, std::nullopt}, signInFirst},
        {{nullptr, "TypeError: boom"}, "error: TypeError: boom"}};
    for (const auto& c : cases) {
        shell.answer = [&](const auto&) { return c.first; };
        auto token = bridge.idToken();
        EXPECT_EQ(await(token), c.second) << c.first.value.dump();
    }
}

}  // namespace
}  // namespace vhbr::test
