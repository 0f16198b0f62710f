#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "LocalServer.hpp"
#include "Platform/UrlSession.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"

namespace vhbr {
namespace {

TEST(UrlSession, PutStreamsTheFileOrFailsBeforeSendingAndHeadersIgnoreCase) {
    test::LocalServer server;
    std::string received;
    std::string contentType;
    server.server().Put("/object", [&](const httplib::Request& req, httplib::Response& res) {
        received = req.body;
        contentType = req.get_header_value("Content-Type");
        res.set_header("etag", "\"abc\"");
        res.status = 200;
    });
    server.start();
    test::TempDir dir;
    auto file = test::writePatternFile(dir / "a.bin", 3 * 1024 * 1024 + 5);

    UrlSession session;
    HttpRequest request;
    request.method = "PUT";
    request.url = server.url("/object");
    request.headers = {{"Content-Type", "video/mp4"}};
    request.bodyFile = file;
    HttpResponse response = session.perform(request);

    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.header("ETag"), "\"abc\"");
    EXPECT_EQ(response.header("eTaG"), "\"abc\"");
    EXPECT_EQ(response.header("X-Missing"), std::nullopt);
    EXPECT_EQ(contentType, "video/mp4");
    std::ifstream sent(file, std::ios::binary);
    EXPECT_TRUE(received == std::string(std::istreambuf_iterator<char>(sent), {})) << "the body differs";
    // A body file that cannot be opened fails before any request.
    request.bodyFile = "/nonexistent/file.mp4";
    received.clear();
    EXPECT_THROW(session.perform(request), FileSystemError);
    EXPECT_TRUE(received.empty());
}

struct RedirectCase {
    const char* name;
    const char* method;
    std::string start;          // path on the server, or a whole URL
    bool authorizationArrives;  // false: the hop went to another host
    std::optional<std::string> error;
};

// Object stores answer 307/308 for a while after a bucket moves: the request follows with its
// method and body, a few hops at most, and the bearer token stays with the host it was meant for.
// A URL handed out by a service is untrusted: only https goes out, plain http only to this machine,
// and nothing ever reaches the local disk or another protocol, directly or by a redirect.
TEST(UrlSession, RedirectsKeepMethodAndBodyAndTheTokenStaysHomeOverHttpsOrLoopbackOnly) {
    test::LocalServer server;
    std::string method, body, authorization;
    const auto finalAnswer = [&](const httplib::Request& req, httplib::Response& res) {
        method = req.method;
        body = req.body;
        authorization = req.get_header_value("Authorization");
        res.set_header("ETag", "\"e\"");
    };
    server.server().Put("/object", finalAnswer);
    server.server().Post("/object", finalAnswer);
    const auto hop = [&](const httplib::Request& req, httplib::Response& res) {
        const int left = std::stoi(req.matches[1]);
        res.status = left % 2 ? 307 : 308;
        res.set_header("Location",
                       left > 1 ? server.url("/hop/" + std::to_string(left - 1)) : server.url("/object"));
    };
    server.server().Put(R"(/hop/(\d+))", hop);
    server.server().Post(R"(/hop/(\d+))", hop);
    const auto away = [&](const httplib::Request&, httplib::Response& res) {
        res.status = 307;
        std::string elsewhere = server.url("/object");
        elsewhere.replace(elsewhere.find("127.0.0.1"), 9, "localhost");
        res.set_header("Location", elsewhere);
    };
    server.server().Put("/away", away);
    server.server().Put("/outside", [](const httplib::Request&, httplib::Response& res) {
        res.status = 307;
        res.set_header("Location", "http://example.invalid/object");
    });
    server.start();
    test::TempDir dir;
    const auto file = test::writePatternFile(dir / "a.bin", 700 * 1024);
    const std::string insecure = "Only secure (https) addresses may be used for transfers.";
    const std::vector<RedirectCase> cases{
        {"PUT through three hops", "PUT", "/hop/3", true, std::nullopt},
        {"POST through one hop", "POST", "/hop/1", true, std::nullopt},
        {"PUT to another host", "PUT", "/away", false, std::nullopt},
        {"endless hops", "PUT", "/hop/40", true, "Too many HTTP redirects."},
        {"redirect to plain http off this machine", "PUT", "/outside", true, insecure},
        {"a local file", "PUT", "file://" + (dir / "target.txt").string(), true, insecure},
        {"another protocol", "PUT", "ftp://127.0.0.1:9/x", true, insecure},
        {"gopher", "PUT", "gopher://127.0.0.1:9/x", true, insecure},
        {"plain http off this machine", "PUT", "http://example.invalid/x", true, insecure},
        {"a host that only starts like loopback", "PUT", "http://127.evil.example/x", true, insecure},
    };
    UrlSession session;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        method = body = authorization = "";
        HttpRequest request;
        request.method = c.method;
        request.url = c.start.starts_with("/") ? server.url(c.start) : c.start;
        request.headers = {{"Authorization", "Bearer secret"}};
        if (request.method == "PUT")
            request.bodyFile = file;
        else
            request.body = "{\"a\":1}";
        try {
            const auto response = session.perform(request);
            ASSERT_FALSE(c.error);
            EXPECT_EQ(response.statusCode, 200);
            EXPECT_EQ(method, c.method);
            EXPECT_EQ(body.size(), request.method == "PUT" ? 700u * 1024 : 7u);
            EXPECT_EQ(authorization, c.authorizationArrives ? "Bearer secret" : "");
        } catch (const TransportError& e) {
            ASSERT_TRUE(c.error) << e.what();
            EXPECT_EQ(e.what(), *c.error);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "target.txt"));
}

TEST(UrlSession, DestroyingTheSessionEndsWaitingTransfersAsCancelled) {
    test::LocalServer server;
    server.server().Get("/stall", [&](const httplib::Request&, httplib::Response&) {
        server.stall(std::chrono::seconds(5));
    });
    server.start();
    std::promise<HttpResult> done;
    {
        UrlSession session;
        HttpRequest request;
        request.url = server.url("/stall");
        auto id = session.createTask(request,
                                     [&](UrlSession::TaskId, HttpResult r) { done.set_value(std::move(r)); });
        session.resume(id);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto result = done.get_future().get();
    EXPECT_THROW(std::rethrow_exception(result.error), CancelledError);
}

}  // namespace
}  // namespace vhbr
