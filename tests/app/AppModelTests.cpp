#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>

#include "AppModel.hpp"
#include "AppTestSupport.hpp"
#include "DevServer.hpp"
#include "Platform/RunLoop.hpp"
#include "TempDir.hpp"
#include "Upload/UploadFileValidator.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
using Status = LoginStatus::Kind;

constexpr const char* kWebApp = "http://127.0.0.1:9/app";  // nothing listens: sign-ins fail at once
constexpr const char* kNotReady = "Velvetharbor is not ready yet.";
constexpr const char* kSignInScript = "return await window.__vhbrShell.signInWithToken(token)";
constexpr const char* kTokenScript = "return await window.__vhbrShell.getIdToken()";
const ScriptMessageSource kFromWebApp{"http://127.0.0.1:9", true};
constexpr const char* kOpening = "Opening your browser…";
constexpr const char* kNoBrowser = "Could not open a web browser. Open this link to sign in:";

class AppModelTest : public ::testing::Test {
protected:
    AppModelTest() {
        // The model's upload store and settings live in the test's folder.
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }

    std::unique_ptr<AppModel> makeModel(const std::string& webAppURL = kWebApp,
                                        const std::string& apiURL = "http://127.0.0.1:9") {
        AppModel::Options options;
        options.loginPollIntervalSeconds = 0.05;
        options.upload.partDirectory = dir / "parts";
        options.upload.lockDirectory = dir / "locks";
        options.upload.backoffBase = std::chrono::milliseconds(20);
        AppModel::Services services{loop, defaults, bundle, browser, presenter, nullptr, nullptr, &log};
        return std::make_unique<AppModel>(services, AppConfig{webAppURL, apiURL}, options);
    }

    static DevServerOptions autoApproving() {
        DevServerOptions options;
        options.tokens = {};  // only the sign-in's token is valid
        options.autoApprove = true;
        return options;
    }

    std::string await(std::future<std::string>& future) { return awaitResult(loop, future); }

    TempDir dir;
    RunLoop loop;
    UserDefaults defaults{dir / "defaults.json"};
    BundleInfo bundle{json::object()};
    RecordingBrowser browser;
    RecordingPresenter presenter;
    RecordingLogSink log;
    TestWebShell shell{loop};
};

// ---- Messages of the web app ----

const auto kOut = ShellAuthState::signedOut();
const auto kUnknown = ShellAuthState::unknown();

TEST_F(AppModelTest, AuthStateIsWhatTheWebAppReports) {
    // Whether a sign-in runs, the message, the state and sign-in status after it.
    const std::tuple<bool, const char*, ShellAuthState, Status> cases[] = {
        {true, R"({"type":"authState","signedIn":true,"uid":7})",
         ShellAuthState::signedIn(std::nullopt, std::nullopt), Status::idle},
        {false, R"({"type":"authState","signedIn":true,"uid":"u1","email":"a@b.c"})",
         ShellAuthState::signedIn("u1", "a@b.c"), Status::idle},
        {true, R"({"type":"authState"})", kOut, Status::working},  // the sign-in goes on
        {false, R"({"type":"authState","signedIn":"true"})", kOut, Status::idle},
        {false, R"({"type":"AuthState","signedIn":true})", kUnknown,
         Status::idle},  // types are case-sensitive
        {false, R"(["authState"])", kUnknown, Status::idle},
        {false, R"({"type":"startLogin"})", kOut, Status::working}};
    for (const auto& [signInRunning, body, authState, loginStatus] : cases) {
        auto model = makeModel();
        shell.page = kWebApp;
        model->setWebShell(&shell);
        if (signInRunning) model->startLogin();
        model->bridge().handleMessage(json::parse(body), kFromWebApp);
        EXPECT_EQ(model->authState(), authState) << body;
        EXPECT_EQ(model->loginStatus().kind, loginStatus) << body;
    }
}

// Which messages mean a finished task is the bridge's rule (WebBridgeTests); the model records them.
TEST_F(AppModelTest, TasksTheWebAppReportsFinishedAreRecorded) {
    auto model = makeModel();
    shell.page = kWebApp;
    model->setWebShell(&shell);
    model->bridge().handleMessage(json::parse(R"({"type":"taskCreated","id":"t1"})"), kFromWebApp);
    model->bridge().handleMessage(json::parse(R"({"type":"taskStatusChanged","id":"t2","status":"done"})"),
                                  kFromWebApp);
    EXPECT_EQ(model->uploadManager().completedTaskIDs(), (std::vector<std::string>{"t2", "t1"}));
}

TEST_F(AppModelTest, StartLoginTwiceStartsOneSignIn) {
    DevServer server;  // no auto-approval: the sign-in waits for the browser
    auto model = makeModel(server.baseUrl() + "/app", server.baseUrl());
    std::vector<LoginStatus> statuses;
    model->loginStatusChanged.connect([&] { statuses.push_back(model->loginStatus()); });
    model->startLogin();
    model->startLogin();
    ASSERT_TRUE(loop.runUntil([&] { return !browser.urls().empty(); }, std::chrono::seconds(10)));
    loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(browser.urls().size(), 1u);
    EXPECT_EQ(server.requestCount("login-start"), 1);
    EXPECT_EQ(statuses, (std::vector<LoginStatus>{LoginStatus::working(kOpening),
                                                  LoginStatus::working(kOpening, browser.urls().at(0))}));
}

TEST_F(AppModelTest, WithoutABrowserTheLinkIsOfferedAndTheSignInCanBeCancelled) {
    DevServer server;  // no auto-approval: the sign-in waits
    auto model = makeModel(server.baseUrl() + "/app", server.baseUrl());
    browser.notOpenedReason = "No application is registered for https";
    model->startLogin();
    ASSERT_TRUE(
        loop.runUntil([&] { return model->loginStatus().message == kNoBrowser; }, std::chrono::seconds(10)));
    EXPECT_EQ(model->loginStatus(), LoginStatus::working(kNoBrowser, browser.urls().at(0)));

    model->cancelLogin();
    EXPECT_EQ(model->loginStatus(), LoginStatus::idle());
    EXPECT_EQ(model->authState(), kOut);  // the overlay offers "Sign in" again
    loop.runUntil([] { return false; }, std::chrono::milliseconds(300));
    const int claims = server.requestCount("login-claim");
    loop.runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(server.requestCount("login-claim"), claims) << "the cancelled sign-in still polls";
    EXPECT_EQ(model->loginStatus(), LoginStatus::idle());

    model->startLogin();  // a new one starts
    EXPECT_EQ(model->loginStatus(), LoginStatus::working(kOpening));
}

TEST_F(AppModelTest, ATokenAskedForWhileTheFirstPageLoadsWaitsForIt) {
    auto model = makeModel();
    shell.pending = kWebApp;  // loading, nothing committed yet
    shell.answer = [](const auto&) { return ScriptResult{"tok", std::nullopt}; };
    model->setWebShell(&shell);
    auto token = model->bridge().idToken();
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(shell.calls.empty()) << "the script ran before the page was in";
    shell.page = kWebApp;
    shell.pending.reset();
    model->recordNavigationFinished();
    EXPECT_EQ(await(token), "tok");

    shell.pending = kWebApp;  // a load that fails: the request fails instead of waiting on
    shell.page.reset();
    auto failing = model->bridge().idToken();
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    shell.pending.reset();
    model->recordNavigationFailure({NavigationFailure::Kind::failed, "Could not connect"});
    EXPECT_EQ(await(failing), std::string("error: ") + kNotReady);
}

// ---- Loading and navigation ----

TEST_F(AppModelTest, TaskPagesOpenOnTheWebOriginInTheMainWindow) {
    auto model = makeModel("http://127.0.0.1:9/app?tab=home");
    model->navigateToTask("abc");
    EXPECT_EQ(presenter.presented, 1);  // no web view: only the window comes forward

    model->setWebShell(&shell);
    model->navigateToTask("abc");
    EXPECT_EQ(presenter.presented, 2);
    EXPECT_EQ(shell.loads, std::vector<std::string>{"http://127.0.0.1:9/app/task/abc"});

    model->navigateToTask("a b");  // no URL can be formed: nothing happens
    EXPECT_EQ(presenter.presented, 2);
    EXPECT_EQ(shell.loads.size(), 1u);
}

TEST_F(AppModelTest, LoadFailuresAndReloads) {
    auto model = makeModel();
    model->setWebShell(&shell);
    model->recordNavigationFailure({NavigationFailure::Kind::cancelled, "cancelled"});
    model->recordNavigationFailure({NavigationFailure::Kind::interruptedByPolicy, "Frame load interrupted"});
    EXPECT_FALSE(model->shellError());

    model->recordNavigationFailure({NavigationFailure::Kind::failed, "Could not connect"});
    const auto first = model->shellError();
    model->recordNavigationFailure({NavigationFailure::Kind::failed, "Could not connect"});
    ASSERT_TRUE(first && model->shellError());
    EXPECT_EQ(model->shellError()->message, "Could not connect");
    EXPECT_NE(model->shellError()->id, first->id);

    model->reload();  // no page yet: the start page is loaded
    EXPECT_FALSE(model->shellError());
    EXPECT_EQ(shell.loads, std::vector<std::string>{kWebApp});
    EXPECT_EQ(shell.reloads, 0);

    model->recordNavigationFailure({NavigationFailure::Kind::failed, "Gone"});
    model->reload();
    EXPECT_FALSE(model->shellError());
    EXPECT_EQ(shell.reloads, 1);
}

// ---- Against the service ----

// A page that is gone is refused by the bridge itself (see OriginLockTest).
TEST_F(AppModelTest, AHandOverThePageRefusesFailsTheSignIn) {
    DevServer server(autoApproving());
    auto model = makeModel(server.baseUrl() + "/app", server.baseUrl());
    shell.page = server.baseUrl() + "/app";
    shell.answer = [&](const auto&) { return ScriptResult{nullptr, "Error: refused"}; };
    model->setWebShell(&shell);
    model->startLogin();
    ASSERT_TRUE(
        loop.runUntil([&] { return model->loginStatus().kind == Status::failed; }, std::chrono::seconds(10)));
    EXPECT_EQ(model->loginStatus().message, "Error: refused");
    EXPECT_EQ(model->authState(), ShellAuthState::signedOut());
}

// The whole road: the browser sign-in hands its token to the page, the page hands it back as the
// bearer token of an upload, and the finished upload opens its task.
TEST_F(AppModelTest, SignedInPageProvidesTheUploadsToken) {
    DevServer server(autoApproving());
    const std::string webApp = server.baseUrl() + "/app";
    auto model = makeModel(webApp, server.baseUrl());
    std::string pageToken;
    shell.answer = [&](const TestWebShell::Call& call) {
        if (call.script == kSignInScript) pageToken = call.arguments.at("token").get<std::string>();
        return ScriptResult{call.script == kTokenScript ? json(pageToken) : json(), std::nullopt};
    };
    model->setWebShell(&shell);
    model->loadHome();

    std::vector<LoginStatus> statuses;
    model->loginStatusChanged.connect([&] { statuses.push_back(model->loginStatus()); });
    model->startLogin();
    ASSERT_TRUE(
        loop.runUntil([&] { return model->loginStatus().kind == Status::idle; }, std::chrono::seconds(10)));
    EXPECT_EQ(statuses,
              (std::vector<LoginStatus>{LoginStatus::working(kOpening),
                                        LoginStatus::working(kOpening, browser.urls().at(0)),
                                        LoginStatus::working("Finishing sign in…"), LoginStatus::idle()}));
    ASSERT_TRUE(pageToken.starts_with("vhbr_")) << pageToken;

    auto& uploads = model->uploadManager();
    uploads.start(
        uploads.makeDraft(UploadFileValidator::metadata(writePatternFile(dir / "talk.mp4", 300'000))));
    ASSERT_TRUE(loop.runUntil([&] { return uploads.runningJobCount() == 0; }, std::chrono::seconds(30)));
    const auto& status = uploads.activeUploads().at(0)->status();
    ASSERT_EQ(status.kind(), UploadTaskStatus::Kind::completed) << status.message().value_or("");
    EXPECT_EQ(shell.loads.back(), server.baseUrl() + "/app/task/" + *status.taskID());
    EXPECT_EQ(presenter.presented, 1);

    // A cancelled upload whose clean-up request fails: the failure reaches the log, the token not.
    server.fault({{"route", "object-put"}, {"delayMs", 1500}});
    server.fault({{"route", "staged-upload-cleanup"}, {"status", 500}});
    uploads.start(
        uploads.makeDraft(UploadFileValidator::metadata(writePatternFile(dir / "late.mp4", 200'000))));
    loop.runUntil([&] { return server.requestCount("object-put") == 2; }, std::chrono::seconds(10));
    uploads.cancel(uploads.activeUploads().at(0)->id());
    ASSERT_TRUE(loop.runUntil([&] { return uploads.runningJobCount() == 0; }, std::chrono::seconds(30)));

    const auto lines = log.lines();
    const auto has = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("completed as task " + *status.taskID()));
    EXPECT_TRUE(has("not cleaned up"));
    EXPECT_FALSE(has(pageToken));
    EXPECT_FALSE(has("Signature"));
}

}  // namespace
}  // namespace vhbr::test
