// Replies a sound service never gives: each fails the upload with a clear message, nothing crashes,
// and the state left behind resumes to a complete, intact upload once the service behaves.

#include "LocalServer.hpp"
#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
using Status = UploadTaskStatus;
using namespace std::chrono_literals;

constexpr auto kTimeout = 5000ms;       // long enough that a sound step never times out under load
constexpr auto kShortTimeout = 1000ms;  // where the time-out itself is the point

struct BadReply {
    const char* name;
    json fault;            // armed on the devserver; its body is the bad reply
    const char* expected;  // part of the failure message
    bool multipart = false;
};

class BadReplies : public ReliabilityTest {
protected:
    BadReplies() {
        // A store or service that answers a PUT with a redirect to itself, or with a body that never ends.
        local.server().Put("/loop", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", local.url("/loop"));
        });
        local.server().Post("/loop/api/new-task/v2/tasks",
                            [this](const httplib::Request&, httplib::Response& res) {
                                res.status = 307;
                                res.set_header("Location", local.url("/loop/api/new-task/v2/tasks"));
                            });
        const auto endless = [](const httplib::Request&, httplib::Response& res) {
            res.set_header("ETag", "\"abc\"");
            res.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink& sink) {
                static const std::string chunk(256 * 1024, ' ');
                return sink.write(chunk.data(), chunk.size());
            });
        };
        local.server().Put("/endless", endless);
        // Reads the part without keeping it: ten MiB bodies held in this process would stay as
        // heap that the soak test's memory figures then count.
        local.server().Put("/no-etag", [](const httplib::Request&, httplib::Response& res,
                                          const httplib::ContentReader& reader) {
            reader([](const char*, size_t) { return true; });
            res.status = 200;
        });
        local.server().Post("/endless/api/new-task/v2/tasks", endless);
        // Headers and the start of a body, then silence.
        local.server().Post("/silent/api/new-task/v2/tasks", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink& sink) {
                sink.write("{\"id\":", 6);
                local.stall(10s);
                return false;
            });
        });
        local.start();
    }

    // Runs one upload of file; returns its failure message ("" when it did not fail).
    std::string failureOf(const std::filesystem::path& file, const std::string& apiUrl = {},
                          std::chrono::milliseconds timeout = kTimeout) {
        auto manager = makeFastManager(timeout, apiUrl);
        manager->start(draftFor(file));
        waitForJobs(*manager, 30s);
        const auto& model = *manager->activeUploads().at(0);
        if (model.status().kind() != Status::Kind::failed) return "";
        EXPECT_EQ(manager->uploadAlert()->title, "Upload failed");
        EXPECT_EQ(manager->uploadAlert()->message, model.status().message().value_or(""));
        return model.status().message().value_or("");
    }

    // After every failure: the state is on disk and no part file is.
    void expectResumableLeftovers(std::size_t states) {
        EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates().size(), states);
        EXPECT_TRUE(filesUnder(partDir()).empty());
    }

    // A relaunch against the sound service completes every upload with its source's content.
    void expectAllResumeIntact(const std::vector<std::filesystem::path>& files) {
        server.reset();
        auto manager = relaunchAndResume(10s, 120s);
        for (const auto& model : manager->activeUploads())
            EXPECT_EQ(model->status().kind(), Status::Kind::completed)
                << model->fileName() << ": " << model->status().message().value_or("");
        EXPECT_TRUE(filesUnder(stateDir()).empty());
        EXPECT_TRUE(filesUnder(partDir()).empty());
        for (const auto& file : files) {
            const auto task = onlyTaskFor(file.filename().string());
            ASSERT_TRUE(task) << file;
            EXPECT_EQ(task->value("sha256", ""), sha256OfFile(file)) << file;
        }
    }

    LocalServer local;
    const std::filesystem::path victim = dir / "victim.txt";  // what a file:// upload URL would overwrite
};

json replying(const char* route, const std::string& body, int status = 200) {
    return {{"route", route}, {"status", status}, {"body", body}};
}

TEST_F(BadReplies, ServiceRepliesFailClearlyAndStayResumable) {
    writePatternFile(victim, 1000, 7);
    const auto victimSha = sha256OfFile(victim);
    const std::string tooLarge = "{\"id\":\"" + std::string(9 * kMiB, 'x') + "\"}";
    const std::vector<BadReply> cases{
        {"invalid JSON", replying("create-task", "{\"id\": \"abc\""), "not valid JSON"},
        {"HTML instead of JSON", replying("create-task", "<html><body>Welcome</body></html>"), "not valid JSON"},
        {"empty body", replying("create-task", ""), "The reply was empty."},
        {"wrong type", replying("create-task", R"({"id": 42})"), "Expected a string for the key \"id\""},
        {"missing key", replying("create-task", R"({"reused": false})"), "No value for the key \"id\""},
        {"null where a string must be", replying("create-task", R"({"id": null})"), "No value for the key \"id\""},
        {"optional of the wrong type", replying("create-task", R"({"id": "t", "reused": "yes"})"),
         "Expected a boolean for the key \"reused\""},
        {"array at the top", replying("create-task", R"(["abc"])"), "Expected an object"},
        {"body over the cap", replying("create-task", tooLarge), "The server's reply was too large."},
        {"error body with a number message", replying("create-task", R"({"message": 7})", 500),
         "The server returned status 500."},
        {"session URL of the wrong type", replying("upload-session", R"({"presignedURL": 12, "objectKey": "k"})"),
         "Expected a string for the key \"presignedURL\""},
        {"session URL that is no URL", replying("upload-session", R"({"presignedURL": "not a url", "objectKey": "k"})"),
         "not a valid URL"},
        {"session with nulls", replying("upload-session", R"({"presignedURL": null, "objectKey": null})"),
         "The upload URL was missing."},
        {"session upload id of the wrong type",
         replying("upload-session", R"({"presignedURL": "http://127.0.0.1:1/x", "uploadId": []})"),
         "Expected a string for the key \"uploadId\""},
        {"redirect loop on the object store",
         replying("upload-session", json{{"presignedURL", local.url("/loop")}, {"objectKey", "k"}}.dump()),
         "Too many HTTP redirects."},
        {"upload URL naming a local file",
         replying("upload-session", json{{"presignedURL", "file://" + victim.string()}, {"objectKey", "k"}}.dump()),
         "The presigned URL does not use https."},
        {"upload URL over plain http to another host",
         replying("upload-session", R"({"presignedURL": "http://example.invalid/x", "objectKey": "k"})"),
         "The presigned URL does not use https."},
        {"object store reply that never ends",
         replying("upload-session", json{{"presignedURL", local.url("/endless")}, {"objectKey", "k"}}.dump()),
         "The server's reply was too large."},
        {"completion redirected", replying("upload-complete", "", 302), "The server returned status 302."},
        {"part URLs null", replying("upload-part-urls", R"({"presignedUrls": null})"),
         "No value for the key \"presignedUrls\"", true},
        {"part URL null", replying("upload-part-urls", R"({"presignedUrls": [null]})"),
         "Invalid presigned URL at index 0.", true},
        {"part URLs missing", replying("upload-part-urls", R"({"presignedUrls": []})"),
         "The service sent 0 upload URLs for 5 parts.", true},
        {"part URLs too many", replying("upload-part-urls", json{{"presignedUrls", json(6, local.url("/x"))}}.dump()),
         "The service sent 6 upload URLs for 5 parts.", true},
        {"part URL naming a local file",
         replying("upload-part-urls", json{{"presignedUrls", json(5, "file://" + victim.string())}}.dump()),
         "The presigned URL at index 0 does not use https.", true},
        {"part accepted without an ETag",
         replying("upload-part-urls", json{{"presignedUrls", json(5, local.url("/no-etag"))}}.dump()),
         "without an ETag.", true},
        {"part store reply that never ends",
         replying("upload-part-urls", json{{"presignedUrls", json(5, local.url("/endless"))}}.dump()),
         "The server's reply was too large.", true},
    };

    std::vector<std::filesystem::path> files;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto index = static_cast<unsigned>(files.size());
        files.push_back(mediaFile("bad-reply-" + std::to_string(index) + (c.multipart ? ".mov" : ".mp3"),
                                  c.multipart ? 50 * kMiB : 256 * 1024, 300 + index));
        server.reset();
        server.fault(c.fault);
        const std::string message = failureOf(files.back());
        EXPECT_NE(message.find(c.expected), std::string::npos) << "message: " << message;
        expectResumableLeftovers(files.size());
    }
    EXPECT_EQ(sha256OfFile(victim), victimSha);
    expectAllResumeIntact(files);
}

TEST_F(BadReplies, ServiceEndpointsThatMisbehaveFailClearly) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {local.url("/loop"), "Too many HTTP redirects."},
        {local.url("/endless"), "The server's reply was too large."},
        {local.url("/silent"), "The request timed out."},
    };
    std::vector<std::filesystem::path> files;
    for (const auto& [api, expected] : cases) {
        SCOPED_TRACE(api);
        files.push_back(mediaFile("service-" + std::to_string(files.size()) + ".mp3", 128 * 1024,
                                  400 + static_cast<unsigned>(files.size())));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(failureOf(files.back(), api, kShortTimeout), expected);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
        expectResumableLeftovers(files.size());
    }
    expectAllResumeIntact(files);
}

// The parts were assembled, then the completion notice failed: the resume only sends the notice
// (the spent upload id is neither asked for part URLs nor completed again).
TEST_F(BadReplies, FailedNoticeAfterAssemblyResumesWithTheNoticeOnly) {
    const auto file = mediaFile("assembled.mov", 50 * kMiB + 7, 501);
    server.fault(replying("upload-complete", R"({"message":"Internal failure"})", 500));
    EXPECT_EQ(failureOf(file), "Internal failure");
    expectResumableLeftovers(1);

    server.reset();
    auto manager = relaunchAndResume(kTimeout);
    const auto& status = manager->activeUploads().at(0)->status();
    ASSERT_EQ(status.kind(), Status::Kind::completed) << status.message().value_or("");
    EXPECT_EQ(server.requestCount("upload-session"), 0);
    EXPECT_EQ(server.requestCount("upload-part-urls"), 0);
    EXPECT_EQ(server.requestCount("complete-multipart-upload"), 0);
    EXPECT_EQ(server.requestCount("part-put"), 0);
    EXPECT_EQ(server.requestCount("upload-complete"), 1);
    EXPECT_EQ(onlyTaskFor("assembled.mov")->value("sha256", ""), sha256OfFile(file));
    EXPECT_TRUE(filesUnder(stateDir()).empty());
}

// The storage assembles the parts but the reply is lost (the client gave up waiting). The run fails
// with "completing" recorded; the resume repeats the completion first, whether the service
// remembers it (the same answer again) or forgot the upload (404): then only the notice is sent.
TEST_F(BadReplies, LostCompletionReplyResumesWithTheCompletionOnly) {
    for (const bool serviceForgets : {false, true}) {
        SCOPED_TRACE(serviceForgets ? "the service forgot the upload" : "the service remembers the completion");
        const std::string name = serviceForgets ? "lost-reply-forgotten.mov" : "lost-reply.mov";
        const auto file = mediaFile(name, 50 * kMiB, 500 + serviceForgets);
        server.reset();
        server.fault({{"route", "complete-multipart-upload"}, {"delayMs", 2500}});
        EXPECT_EQ(failureOf(file, {}, 1500ms), "The request timed out.");
        ASSERT_TRUE(UploadStateStore(stateDir()).loadIncompleteStates().at(0).completing);

        // The service finishes the completion meanwhile.
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (!onlyTaskFor(name)->contains("sha256") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        if (serviceForgets) server.restart();
        server.reset();
        auto manager = relaunchAndResume(kTimeout);
        const auto& status = manager->activeUploads().at(0)->status();
        ASSERT_EQ(status.kind(), Status::Kind::completed) << status.message().value_or("");
        EXPECT_EQ(server.requestCount("upload-part-urls") + server.requestCount("part-put"), 0);
        EXPECT_EQ(server.requestCount("complete-multipart-upload"), 1);
        EXPECT_EQ(server.requestCount("upload-complete"), 1);
        EXPECT_EQ(onlyTaskFor(name)->value("sha256", ""), sha256OfFile(file));
        EXPECT_TRUE(filesUnder(stateDir()).empty());
    }
}

// On a slow link the part URLs' signatures expire before the last parts go out: the storage's 403
// fetches fresh URLs for the parts still pending, and the upload goes on.
TEST_F(BadReplies, PartURLsThatExpireMidUploadAreFetchedAfresh) {
    DevServerOptions options;
    options.partUrlTtlSeconds = 2;
    DevServer shortLived(options);
    shortLived.fault({{"route", "part-put"}, {"times", 6}, {"delayMs", 2500}});  // held past the expiry
    const auto file = mediaFile("slow-link.mov", 75 * kMiB, 700);
    auto manager = makeFastManager(kTimeout, shortLived.baseUrl());
    manager->start(draftFor(file));
    waitForJobs(*manager, 60s);
    const auto& status = manager->activeUploads().at(0)->status();
    ASSERT_EQ(status.kind(), Status::Kind::completed) << status.message().value_or("");
    EXPECT_GE(shortLived.requestCount("upload-part-urls"), 2);
    EXPECT_EQ(shortLived.tasks().at(0).value("sha256", ""), sha256OfFile(file));
}

}  // namespace
}  // namespace vhbr::test
