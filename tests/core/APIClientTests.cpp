#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <tuple>

#include "LocalServer.hpp"
#include "Services/APIClient.hpp"
#include "Upload/UploadAPIModels.hpp"

namespace vhbr {
namespace {

using namespace std::chrono_literals;

template <class F>
std::string transportErrorOf(F&& request) {
    try {
        request();
    } catch (const TransportError& e) {
        return e.what();
    }
    return "(no transport error)";
}

TEST(APIClient, JoinsPathsPieceByPiece) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"https://api.test", "/api/new-task/v2/tasks", "https://api.test/api/new-task/v2/tasks"},
        {"https://api.test/", "/api/new-task/v2/tasks", "https://api.test/api/new-task/v2/tasks"},
        {"https://api.test", "//api//new-task/v2/tasks/", "https://api.test/api/new-task/v2/tasks"},
        {"https://api.test/base", "/a/b", "https://api.test/base/a/b"},
        {"https://api.test", "/tasks/a b/upload-session", "https://api.test/tasks/a%20b/upload-session"},
        {"https://api.test/v1", "a/b", "https://api.test/v1/a%2fb"},
        // A task id of dots stays inside the task's path (found by fuzzing the service's replies).
        {"https://api.test", "/tasks/../upload-session", "https://api.test/tasks/%2e%2e/upload-session"},
        {"https://api.test", "/tasks/a/./../b", "https://api.test/tasks/a/%2e/%2e%2e/b"},
        {"https://api.test", "/tasks/.../b", "https://api.test/tasks/.../b"},
    };
    for (const auto& [base, path, expected] : cases) EXPECT_EQ(APIClient(base, nullptr).url(path), expected);
}

class APIClientServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.server().Post(R"(/reply/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
            lastRequest = req;
            res.status = std::stoi(req.matches[1]);
            res.set_content(replyBody, "application/json");
        });
        server.server().Post("/stall", [this](const httplib::Request&, httplib::Response& res) {
            server.stall(5s);
            res.set_content("{}", "application/json");
        });
        server.server().Post("/trickle", [](const httplib::Request&, httplib::Response& res) {
            // Slower in total than the idle time-out, but never idle for long.
            auto pieces = std::make_shared<std::vector<std::string>>(
                std::vector<std::string>{"{\"id\":\"", "x", "x", "x", "x", "x", "x", "\"}"});
            res.set_chunked_content_provider("application/json", [pieces](size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(300ms);
                sink.write(pieces->front().data(), pieces->front().size());
                pieces->erase(pieces->begin());
                if (pieces->empty()) sink.done();
                return true;
            });
        });
        server.start();
    }

    APIClient client(std::chrono::milliseconds timeout = 60s) {
        return APIClient(server.url(), &session, timeout);
    }

    test::LocalServer server;
    UrlSession session;
    httplib::Request lastRequest;
    std::string replyBody = "{}";
};

TEST_F(APIClientServerTest, SendsJSONHeadersAndTheBodyAsGiven) {
    client().postRaw("/reply/200", nlohmann::json{{"fileSize", 1}}, std::nullopt);
    EXPECT_EQ(lastRequest.get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(lastRequest.get_header_value("Accept"), "application/json");
    EXPECT_FALSE(lastRequest.has_header("Authorization"));
    EXPECT_EQ(lastRequest.body, R"({"fileSize":1})");

    client().postRaw("/reply/200", StagedUploadCleanupRequest{}.toJSON(), std::string("tok"));
    EXPECT_EQ(lastRequest.get_header_value("Authorization"), "Bearer tok");
    EXPECT_EQ(lastRequest.body, "{}");

    client().postRaw("/reply/200", nlohmann::json::object(), std::string());
    ASSERT_TRUE(lastRequest.has_header("Authorization"));
    EXPECT_EQ(lastRequest.get_header_value("Authorization").rfind("Bearer", 0), 0u);
}

// postRaw leaves the status to its caller; postJSON takes 2xx only and describes the rest by the
// service's own words, or by the status where the body names nothing usable.
TEST_F(APIClientServerTest, PostJSONAcceptsOnly2xxAndDescribesTheRest) {
    replyBody = R"({"message":"nope"})";
    EXPECT_EQ(client().postRaw("/reply/418", nlohmann::json::object(), std::nullopt).statusCode, 418);
    for (int status : {200, 201, 299})
        EXPECT_NO_THROW(
            client().postJSON<EmptyResponse>("/reply/" + std::to_string(status), {}, std::nullopt));
    const std::string byStatus = "The server returned status 404.";
    const std::tuple<int, std::string, std::string> cases[] = {
        {300, R"({"message":"nope"})", "nope"},
        {500, R"({"message":"nope"})", "nope"},
        {404, R"({"message":"Task not found","error":"x"})", "Task not found"},
        {404, R"({"error":"Not here"})", "Not here"},
        {404, R"({"message":7,"error":"Fallback"})", "Fallback"},
        {404, "<html><body>404</body></html>", byStatus},
        {404, "", byStatus},
        {404, R"(["message"])", byStatus},
        {404, R"({"message":404})", byStatus},
        {404, R"({"detail":{"message":"nested"}})", byStatus},
        // Words only: no terminal escape sequences, no control characters, no line breaks.
        {404, R"({"message":"Bad\u001b[2J\u001b]0;owned\u0007 file\r\nSecond\u0085 line\u0000"})",
         "Bad[2J]0;owned file Second line"},
    };
    for (const auto& [status, body, expected] : cases) {
        replyBody = body;
        try {
            client().postJSON<EmptyResponse>("/reply/" + std::to_string(status), {}, std::nullopt);
            ADD_FAILURE() << body;
        } catch (const APIError& e) {
            EXPECT_EQ(e.status(), status);
            EXPECT_STREQ(e.what(), expected.c_str()) << body;
        }
    }
}

// A token that would end the Authorization header and add lines of its own never leaves.
TEST_F(APIClientServerTest, ATokenWithControlCharactersIsRefusedBeforeSending) {
    for (const std::string& token :
         std::vector<std::string>{"tok\r\nX-Injected: 1", "tok\nx", std::string("tok\0x", 5), "tok\x7f"}) {
        lastRequest = {};
        EXPECT_THROW(client().postRaw("/reply/200", {}, token), AppError);
        EXPECT_TRUE(lastRequest.path.empty());
    }
}

TEST_F(APIClientServerTest, EmptyBodyDecodesOnlyAsEmptyResponse) {
    replyBody = "";
    EXPECT_NO_THROW(client().postJSON<EmptyResponse>("/reply/200", {}, std::nullopt));
    EXPECT_THROW(client().postJSON<std::optional<EmptyResponse>>("/reply/200", {}, std::nullopt),
                 DecodingError);
    replyBody = "null";
    EXPECT_EQ(client().postJSON<std::optional<EmptyResponse>>("/reply/200", {}, std::nullopt).has_value(),
              false);
    replyBody = "[1,2]";
    EXPECT_EQ(client().postJSON<std::optional<EmptyResponse>>("/reply/200", {}, std::nullopt).has_value(),
              true);
}

TEST_F(APIClientServerTest, RepliesOverTheCapAreAnErrorNotAnAllocation) {
    replyBody = std::string(kMaxAPIReplyBytes - 16, ' ') + "{}";
    EXPECT_NO_THROW(client().postJSON<EmptyResponse>("/reply/200", {}, std::nullopt));
    replyBody = std::string(kMaxAPIReplyBytes + 1, ' ');
    EXPECT_EQ(transportErrorOf([&] { client().postRaw("/reply/200", {}, std::nullopt); }),
              "The server's reply was too large.");
}

TEST_F(APIClientServerTest, IdleTimeOutEndsAStalledRequestButNotASlowSteadyOne) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transportErrorOf([&] { client(1s).postRaw("/stall", {}, std::nullopt); }),
              "The request timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(client(1s).postJSON<CreateTaskResponse>("/trickle", {}, std::nullopt).id, "xxxxxx");
}

TEST_F(APIClientServerTest, CancellationFromAnotherThreadEndsTheRequestAtOnce) {
    std::stop_source stop;
    auto pending = std::async(std::launch::async,
                              [&] { return client().postRaw("/stall", {}, std::nullopt, stop.get_token()); });
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    stop.request_stop();
    EXPECT_THROW(pending.get(), CancelledError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(APIClientTransport, RefusedConnectionHasAPlainDescription) {
    UrlSession session;
    // Port 9 on loopback: nothing listens there in the test environment.
    EXPECT_EQ(transportErrorOf(
                  [&] { APIClient("http://127.0.0.1:9", &session, 5s).postRaw("/x", {}, std::nullopt); }),
              "Could not connect to the server.");
}

}  // namespace
}  // namespace vhbr
