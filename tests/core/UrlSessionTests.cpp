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

TEST(UrlSession, PutStreamsTheFileAndHeadersAreFoundWithoutRegardToCase) {
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
    ASSERT_EQ(received.size(), std::filesystem::file_size(file));
    test::TempDir out;
    std::ofstream(out / "copy.bin", std::ios::binary) << received;
    EXPECT_EQ(test::sha256OfFile(out / "copy.bin"), test::sha256OfFile(file));
}

TEST(UrlSession, MissingBodyFileFailsBeforeAnyRequest) {
    UrlSession session;
    HttpRequest request;
    request.method = "PUT";
    request.url = "http://127.0.0.1:9/x";
    request.bodyFile = "/nonexistent/file.mp4";
    EXPECT_THROW(session.perform(request), FileSystemError);
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
        auto id = session.createTask(request, [&](UrlSession::TaskId, HttpResult r) { done.set_value(std::move(r)); });
        session.resume(id);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto result = done.get_future().get();
    EXPECT_THROW(std::rethrow_exception(result.error), CancelledError);
}

}  // namespace
}  // namespace vhbr
