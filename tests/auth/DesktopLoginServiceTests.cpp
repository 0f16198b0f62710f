// The browser sign-in against the devserver, which also checks the requests' shapes and that the
// claim's verifier matches the start's challenge. Decoding of the replies is in DesktopLoginModelsTests.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <stop_token>
#include <thread>
#include <typeinfo>
#include <vector>

#include "Auth/DesktopLoginService.hpp"
#include "Auth/PKCE.hpp"
#include "DevServer.hpp"
#include "RecordingBrowser.hpp"
#include "Support/Errors.hpp"

namespace vhbr {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kExpired = "That sign-in request expired. Start sign in again.";

using test::RecordingBrowser;

// Runs the exchange on a worker thread, as the app does, so that the test can stop it from outside.
// The service must outlive it.
class Exchange {
public:
    explicit Exchange(const DesktopLoginService& service)
        : result_(std::async(std::launch::async,
                             [this, &service] { return service.start(stop_.get_token()); })) {}

    ~Exchange() { cancel(); }  // the future's end then waits for the exchange to stop
    void cancel() { stop_.request_stop(); }
    bool finishesWithin(std::chrono::milliseconds timeout) {
        return result_.wait_for(timeout) == std::future_status::ready;
    }
    std::string token() { return result_.get(); }

private:
    std::stop_source stop_;
    std::future<std::string> result_;
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

bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + 10s;
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
    EXPECT_EQ(interval(0.05), 50'000'000u);
    EXPECT_EQ(interval(1.9e-9), 1u);  // the fraction of a nanosecond is dropped
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
              "https://web.example:8443/desktop-login?nonce=abc123");  // the origin: see AppConfigTests
    // The nonce is one query value: characters that would end or split it are percent-encoded.
    EXPECT_EQ(page("https://web.example/app", "a&b=c#d/e"),
              "https://web.example/desktop-login?nonce=a%26b%3dc%23d%2fe");
}

class DesktopLoginServiceTest : public ::testing::Test {
protected:
    DesktopLoginService service(double interval = 0.05) {
        return DesktopLoginService({server.baseUrl() + "/app", server.baseUrl()},
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

// The whole exchange; that the token works as a bearer token is shown by the app's upload test.
TEST_F(DesktopLoginServiceTest, ApprovedAfterSomeWaitingYieldsTheToken) {
    const auto login = service();
    Exchange exchange(login);
    ASSERT_TRUE(waitUntil([&] { return claims() >= 2; }));
    const auto nonce = server.latestLoginNonce();
    ASSERT_TRUE(nonce);
    server.approveLogin(*nonce);

    ASSERT_TRUE(exchange.finishesWithin(10s));
    EXPECT_TRUE(exchange.token().starts_with("vhbr_"));
    EXPECT_EQ(browser.urls(), std::vector<std::string>{server.baseUrl() + "/desktop-login?nonce=" + *nonce});
    EXPECT_EQ(server.requestCount("login-start"), 1);
    const int claimed = claims();
    EXPECT_GE(claimed, 3);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(claims(), claimed);
}

// Expiry is checked before the first claim, and cancellation before the pause.
TEST_F(DesktopLoginServiceTest, NoClaimForAnExpiredOrCancelledRequest) {
    const auto login = service();
    const auto [nonce, verifier] = startLogin();
    // A claim, should one go out, fails at once rather than waiting for approval.
    server.fault({{"route", "login-claim"}, {"status", 500}, {"body", "{}"}, {"times", 2}});
    const auto past = std::chrono::system_clock::now() - 1ms;
    EXPECT_EQ(messageOf<AppError>([&] { login.pollForToken(nonce, verifier, past, {}); }), kExpired);
    std::stop_source stopped;
    stopped.request_stop();
    const auto later = std::chrono::system_clock::now() + 60s;
    EXPECT_THROW(login.pollForToken(nonce, verifier, later, stopped.get_token()), CancelledError);
    EXPECT_EQ(claims(), 0);
}

TEST_F(DesktopLoginServiceTest, FailedStartCarriesTheServiceMessageAndOpensNothing) {
    server.fault(
        {{"route", "login-start"}, {"status", 500}, {"body", R"({"message":"Sign-in is paused."})"}});
    EXPECT_EQ(messageOf<APIError>([&] { service().start({}); }), "Sign-in is paused.");
    EXPECT_TRUE(browser.urls().empty());
    EXPECT_EQ(claims(), 0);
}

// Cancelled while it waits between claims (a long interval) and while a claim is under way.
TEST_F(DesktopLoginServiceTest, CancellingEndsAtOnce) {
    for (const bool duringClaim : {false, true}) {
        SCOPED_TRACE(duringClaim ? "during a claim" : "during the pause");
        server.reset();
        if (duringClaim) server.fault({{"route", "login-claim"}, {"delayMs", 2000}});
        const auto login = service(duringClaim ? 0.05 : 30.0);
        Exchange exchange(login);
        ASSERT_TRUE(waitUntil([&] { return duringClaim ? claims() >= 1 : !browser.urls().empty(); }));
        std::this_thread::sleep_for(50ms);
        const auto cancelled = Clock::now();
        exchange.cancel();
        ASSERT_TRUE(exchange.finishesWithin(2s));
        EXPECT_LT(Clock::now() - cancelled, 1s);
        EXPECT_THROW(exchange.token(), CancelledError);
        EXPECT_EQ(claims(), duringClaim ? 1 : 0);
    }
}

// The claim is answered "pending" only after the request expired: the client sees the expiry on
// its own clock and claims no more.
TEST(DesktopLoginServiceExpiryTest, ExpiryReachedWhileWaitingEndsWithoutAnotherClaim) {
    test::DevServerOptions options;
    options.loginTtlSeconds = 2;
    test::DevServer server(options);
    server.fault({{"route", "login-claim"}, {"status", 202}, {"body", "{}"}, {"delayMs", 2500}});
    RecordingBrowser browser;
    const DesktopLoginService login({server.baseUrl() + "/app", server.baseUrl()}, std::nullopt, 0.05,
                                    browser);
    EXPECT_EQ(messageOf<AppError>([&] { login.start({}); }), kExpired);
    EXPECT_EQ(server.requestCount("login-claim"), 1);
    EXPECT_EQ(browser.urls().size(), 1u);
}

// Every claim reply but "pending" (202) ends the sign-in at once; only 200 with a token is approval.
TEST_F(DesktopLoginServiceTest, EachClaimReplyThatIsNotPendingEndsTheSignIn) {
    // A 204 carries no body by definition; sending one would desynchronise the kept-alive connection.
    const std::tuple<int, std::string, std::string> replies[] = {
        {403, R"({"message":"Rejected."})", "The browser sign-in request was rejected. Start sign in again."},
        {404, R"({"message":"Unknown."})", kExpired},  // a nonce the service never issued
        {410, R"({"message":"Used."})", kExpired},     // a request whose token was already collected
        {201, R"({"token":"t1"})", "The server returned status 201."},
        {204, "", "The server returned status 204."},
        {500, R"({"message":"Claims are paused."})", "Claims are paused."},
        {200, R"({"tok":"t1"})", "No value for the key \"token\""}};
    for (const auto& [status, body, message] : replies) {
        server.fault({{"route", "login-claim"}, {"status", status}, {"body", body}});
        const std::string error = messageOf<Error>([&] { service().start({}); });
        EXPECT_NE(error.find(message), std::string::npos) << status << ": " << error;
    }
    EXPECT_EQ(claims(), 7) << "one claim per sign-in: an error is not retried";
}

}  // namespace
}  // namespace vhbr
