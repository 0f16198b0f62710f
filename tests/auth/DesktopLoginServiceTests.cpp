#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <stop_token>
#include <thread>
#include <typeinfo>
#include <vector>

#include "Auth/DesktopLoginService.hpp"
#include "Auth/PKCE.hpp"
#include "DevServer.hpp"
#include "LocalServer.hpp"
#include "Support/Errors.hpp"
#include "Support/ISO8601.hpp"

namespace vhbr {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kExpired = "That sign-in request expired. Start sign in again.";
constexpr const char* kRejected = "The browser sign-in request was rejected. Start sign in again.";

class RecordingBrowser : public BrowserOpener {
public:
    void open(const std::string& url) override {
        std::lock_guard lock(mutex_);
        urls_.push_back(url);
        opened_.notify_all();
    }
    std::vector<std::string> urls() const {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    bool waitForOpen(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, timeout, [this] { return !urls_.empty(); });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    std::vector<std::string> urls_;
};

// Runs the exchange on a worker thread, as the app does, so that the test can stop it from outside.
// The service must outlive it.
class Exchange {
public:
    explicit Exchange(const DesktopLoginService& service)
        : result_(promise_.get_future()), worker_([this, &service](std::stop_token stop) {
              try {
                  promise_.set_value(service.start(stop));
              } catch (...) {
                  promise_.set_exception(std::current_exception());
              }
          }) {}
    explicit Exchange(DesktopLoginService&&) = delete;

    void cancel() { worker_.request_stop(); }
    bool finishesWithin(std::chrono::milliseconds timeout) {
        return result_.wait_for(timeout) == std::future_status::ready;
    }
    std::string token() { return result_.get(); }

private:
    std::promise<std::string> promise_;
    std::future<std::string> result_;
    std::jthread worker_;
};

// what() of the expected error type; any other outcome is described so the assertion shows it.
template <class E, class F>
std::string messageOf(F&& operation) {
    try {
        operation();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("unexpected ") + typeid(e).name() + ": " + e.what();
    }
    return "no error";
}

// ISO 8601 with milliseconds, as the service writes expiry instants.
std::string isoMillis(std::chrono::system_clock::time_point time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
    std::string text = formatISO8601(seconds);
    text.pop_back();  // "Z"
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis));
    return text + fraction;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(DesktopLoginServiceConfigTest, PollIntervalIsKeptAsWholeNanoseconds) {
    RecordingBrowser browser;
    const AppConfig config{"https://web.example/app", "https://api.example"};
    const auto interval = [&](double seconds) {
        return DesktopLoginService(config, APIClient(config.apiBaseURL, nullptr), seconds, browser)
            .pollIntervalNanoseconds();
    };
    EXPECT_EQ(interval(2.0), 2'000'000'000u);
    EXPECT_EQ(interval(0.05), 50'000'000u);
    EXPECT_EQ(interval(1.9e-9), 1u);  // the fraction of a nanosecond is dropped
    EXPECT_EQ(interval(0.0), 0u);
    for (double bad : {-0.5, std::nan(""), std::numeric_limits<double>::infinity(), 1e20})
        EXPECT_THROW(interval(bad), std::invalid_argument) << bad;
}

TEST(DesktopLoginServiceConfigTest, ApprovalPageIsAtTheWebOriginWithOnlyTheNonce) {
    RecordingBrowser browser;
    const auto page = [&](const std::string& webAppURL, const std::string& nonce) {
        return DesktopLoginService({webAppURL, "https://api.example"},
                                   APIClient("https://api.example", nullptr), 2, browser)
            .approvalURL(nonce);
    };
    EXPECT_EQ(page("https://web.example:8443/app/tasks?tab=recent&x=1#top", "abc123"),
              "https://web.example:8443/desktop-login?nonce=abc123");
    EXPECT_EQ(page("https://user:pw@web.example/app", "abc123"),
              "https://web.example/desktop-login?nonce=abc123");
    // The nonce is one query value: characters that would end or split it are percent-encoded.
    EXPECT_EQ(page("https://web.example/app", "a&b=c#d/e"),
              "https://web.example/desktop-login?nonce=a%26b%3dc%23d%2fe");
}

class DesktopLoginServiceTest : public ::testing::Test {
protected:
    DesktopLoginService service(double interval = 0.05, const std::string& webPath = "/app") {
        return DesktopLoginService({server.baseUrl() + webPath, server.baseUrl()},
                                   APIClient(server.baseUrl(), &session), interval, browser);
    }

    // A sign-in request started directly, so the test knows its verifier.
    std::pair<std::string, std::string> startLogin() {
        const std::string verifier = PKCE::makeCodeVerifier(32);
        const json started =
            server.post("/desktop-login/start", {{"codeChallenge", PKCE::codeChallenge(verifier)}});
        return {started.at("nonce").get<std::string>(), verifier};
    }

    int claims() { return server.requestCount("login-claim"); }

    test::DevServer server;
    UrlSession session;
    RecordingBrowser browser;
};

TEST_F(DesktopLoginServiceTest, ApprovedAfterSomeWaitingYieldsAWorkingToken) {
    // No client given: the service builds its own for the API base URL. The web app URL has a path
    // and a query that the browser page must not keep.
    const DesktopLoginService login({server.baseUrl() + "/app/tasks?tab=recent#top", server.baseUrl()},
                                    std::nullopt, 0.05, browser);
    Exchange exchange(login);
    ASSERT_TRUE(waitUntil([&] { return claims() >= 2; }));
    const auto nonce = server.latestLoginNonce();
    ASSERT_TRUE(nonce);
    server.approveLogin(*nonce);

    ASSERT_TRUE(exchange.finishesWithin(10s));
    const std::string token = exchange.token();
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(browser.urls(), std::vector<std::string>{server.baseUrl() + "/desktop-login?nonce=" + *nonce});
    EXPECT_EQ(server.requestCount("login-start"), 1);
    const int claimed = claims();
    EXPECT_GE(claimed, 3);

    // The service accepts the token as a bearer token.
    const auto reply = APIClient(server.baseUrl(), &session)
                           .postRaw("/api/new-task/v2/staged-upload-cleanup", json::object(), token);
    EXPECT_NE(reply.statusCode, 401);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(claims(), claimed);
}

TEST_F(DesktopLoginServiceTest, RejectionEndsTheExchangeWithoutAnotherClaim) {
    const auto login = service();
    Exchange exchange(login);
    ASSERT_TRUE(waitUntil([&] { return claims() >= 1; }));
    server.rejectLogin(*server.latestLoginNonce());

    ASSERT_TRUE(exchange.finishesWithin(10s));
    EXPECT_EQ(messageOf<AppError>([&] { exchange.token(); }), kRejected);
    const int claimed = claims();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(claims(), claimed);
}

TEST_F(DesktopLoginServiceTest, UnknownOrUsedRequestReadsAsExpired) {
    const auto login = service();
    const auto later = std::chrono::system_clock::now() + 60s;
    const std::string verifier = PKCE::makeCodeVerifier(32);
    // 404: a nonce the service never issued.
    EXPECT_EQ(messageOf<AppError>([&] { login.pollForToken("no-such-nonce", verifier, later, {}); }),
              kExpired);

    // 410: a request whose token was already collected.
    const auto [nonce, ownVerifier] = startLogin();
    server.approveLogin(nonce);
    EXPECT_FALSE(login.pollForToken(nonce, ownVerifier, later, {}).empty());
    EXPECT_EQ(messageOf<AppError>([&] { login.pollForToken(nonce, ownVerifier, later, {}); }), kExpired);
    EXPECT_EQ(claims(), 3);
}

TEST_F(DesktopLoginServiceTest, ExpiryIsCheckedBeforeTheFirstClaimAndCancellationBeforeThePause) {
    const auto login = service();
    const auto [nonce, verifier] = startLogin();
    EXPECT_EQ(messageOf<AppError>(
                  [&] { login.pollForToken(nonce, verifier, std::chrono::system_clock::now() - 1ms, {}); }),
              kExpired);

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(
        login.pollForToken(nonce, verifier, std::chrono::system_clock::now() + 60s, stopped.get_token()),
        CancelledError);
    EXPECT_EQ(claims(), 0);
}

TEST_F(DesktopLoginServiceTest, UnexpectedClaimStatusIsAnAPIErrorWithTheServiceMessage) {
    server.fault(
        {{"route", "login-claim"}, {"status", 500}, {"body", R"({"message":"Claims are paused."})"}});
    const auto [nonce, verifier] = startLogin();
    try {
        service().pollForToken(nonce, verifier, std::chrono::system_clock::now() + 60s, {});
        FAIL() << "no error";
    } catch (const APIError& e) {
        EXPECT_EQ(e.status(), 500);
        EXPECT_STREQ(e.what(), "Claims are paused.");
    }
    EXPECT_EQ(claims(), 1);
}

TEST_F(DesktopLoginServiceTest, FailedStartCarriesTheServiceMessageAndOpensNothing) {
    server.fault(
        {{"route", "login-start"}, {"status", 500}, {"body", R"({"message":"Sign-in is paused."})"}});
    try {
        service().start({});
        FAIL() << "no error";
    } catch (const APIError& e) {
        EXPECT_EQ(e.status(), 500);
        EXPECT_STREQ(e.what(), "Sign-in is paused.");
    }

    server.fault(
        {{"route", "login-start"}, {"status", 200}, {"body", R"({"expiresAt":"2030-01-01T00:00:00.000Z"})"}});
    EXPECT_THROW(service().start({}), DecodingError);

    EXPECT_TRUE(browser.urls().empty());
    EXPECT_EQ(claims(), 0);
}

TEST_F(DesktopLoginServiceTest, CancellingDuringThePauseEndsAtOnceWithoutAClaim) {
    const auto login = service(30.0);
    Exchange exchange(login);
    ASSERT_TRUE(browser.waitForOpen(10s));
    std::this_thread::sleep_for(50ms);
    const auto cancelled = Clock::now();
    exchange.cancel();
    ASSERT_TRUE(exchange.finishesWithin(2s));
    EXPECT_LT(Clock::now() - cancelled, 1s);
    EXPECT_THROW(exchange.token(), CancelledError);
    EXPECT_EQ(claims(), 0);
}

TEST_F(DesktopLoginServiceTest, CancellingDuringAClaimEndsAtOnce) {
    server.fault({{"route", "login-claim"}, {"delayMs", 2000}});
    const auto login = service();
    Exchange exchange(login);
    ASSERT_TRUE(waitUntil([&] { return claims() >= 1; }));
    const auto cancelled = Clock::now();
    exchange.cancel();
    ASSERT_TRUE(exchange.finishesWithin(2s));
    EXPECT_LT(Clock::now() - cancelled, 1s);
    EXPECT_THROW(exchange.token(), CancelledError);
    EXPECT_EQ(claims(), 1);
}

// Replies the service never gives, from a server inside the test. The handlers run on the
// server's threads, so what they read and record is guarded.
class DesktopLoginLocalServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.server().Post(
            "/desktop-login/start", [this](const httplib::Request& req, httplib::Response& res) {
                std::lock_guard lock(mutex);
                lastStart = json::parse(req.body);
                res.set_content(json{{"nonce", "n1"}, {"expiresAt", isoMillis(expiresAt)}}.dump(),
                                "application/json");
            });
        server.server().Post(
            "/desktop-login/claim", [this](const httplib::Request& req, httplib::Response& res) {
                std::unique_lock lock(mutex);
                lastClaim = json::parse(req.body);
                ++claimCount;
                if (stallPastExpiry) {
                    const auto wait = expiresAt - std::chrono::system_clock::now() + 100ms;
                    lock.unlock();
                    server.stall(std::chrono::duration_cast<std::chrono::milliseconds>(wait));
                    lock.lock();
                }
                res.status = claimStatus;
                res.set_content(claimBody, "application/json");
            });
        server.start();
    }

    DesktopLoginService service() {
        return DesktopLoginService({server.url("/app"), server.url()}, APIClient(server.url(), &session),
                                   0.05, browser);
    }
    void reply(int status, const std::string& body) {
        std::lock_guard lock(mutex);
        claimStatus = status;
        claimBody = body;
    }

    // Declared before the server, so they outlive its handler threads.
    std::mutex mutex;
    std::chrono::system_clock::time_point expiresAt = std::chrono::system_clock::now() + 60s;
    bool stallPastExpiry = false;
    int claimStatus = 202;
    std::string claimBody = "{}";
    int claimCount = 0;
    json lastStart;
    json lastClaim;
    RecordingBrowser browser;
    test::LocalServer server;
    UrlSession session;
};

TEST_F(DesktopLoginLocalServerTest, ExpiryReachedWhileWaitingEndsWithoutAnotherClaim) {
    {
        std::lock_guard lock(mutex);
        expiresAt = std::chrono::system_clock::now() + 500ms;
        stallPastExpiry = true;  // the first claim is answered 202 only after the request expired
    }
    EXPECT_EQ(messageOf<AppError>([&] { service().start({}); }), kExpired);
    std::lock_guard lock(mutex);
    EXPECT_EQ(claimCount, 1);
    EXPECT_EQ(browser.urls(), std::vector<std::string>{server.url("/desktop-login?nonce=n1")});
}

TEST_F(DesktopLoginLocalServerTest, OnlyStatus200CountsAsApproval) {
    // A 204 carries no body by definition; sending one would desynchronise the kept-alive connection.
    for (auto [status, body] : {std::pair<int, std::string>{201, R"({"token":"t1"})"}, {204, ""}}) {
        reply(status, body);
        try {
            service().start({});
            ADD_FAILURE() << status << ": no error";
        } catch (const APIError& e) {
            EXPECT_EQ(e.status(), status);
            EXPECT_EQ(e.what(), "The server returned status " + std::to_string(status) + ".");
        }
    }
    reply(200, R"({"token":"t1"})");
    EXPECT_EQ(service().start({}), "t1");
    {
        // The claim proves possession of the verifier whose challenge went with the start request.
        std::lock_guard lock(mutex);
        EXPECT_EQ(lastClaim.size(), 2u);
        EXPECT_EQ(lastClaim.at("nonce"), "n1");
        EXPECT_EQ(lastStart.size(), 1u);
        EXPECT_EQ(PKCE::codeChallenge(lastClaim.at("codeVerifier")), lastStart.at("codeChallenge"));
    }

    reply(200, R"({"tok":"t1"})");
    EXPECT_THROW(service().start({}), DecodingError);
}

}  // namespace
}  // namespace vhbr
