// Replies a sound service never gives, one of each kind of failure (every malformed body is in the
// reply decoding table of the core tests): each fails the upload with a clear message, nothing
// crashes, and the state left behind resumes to a complete, intact upload once the service behaves.

#include "LocalServer.hpp"
#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kTimeout = 5000ms;       // long enough that a sound step never times out under load
constexpr auto kShortTimeout = 1000ms;  // where the time-out itself is the point

struct BadReply {
    const char* name;
    json fault;            // armed on the devserver; its body is the bad reply
    const char* expected;  // part of the failure message
    bool multipart = false;
    std::string api = {};  // a misbehaving service instead of the devserver (short time-out)
};

class BadReplies : public ReliabilityTest {
protected:
    BadReplies() {
        // A store or service that answers with a redirect to itself, or with a body that never ends.
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
        local.server().Post(
            "/silent/api/new-task/v2/tasks", [this](const httplib::Request&, httplib::Response& res) {
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

    LocalServer local;
    const std::filesystem::path victim = dir / "victim.txt";  // what a file:// upload URL would overwrite
};

json replying(const char* route, const std::string& body, int status = 200) {
    return {{"route", route}, {"status", status}, {"body", body}};
}

TEST_F(BadReplies, EachKindFailsClearlyAndStaysResumable) {
    writePatternFile(victim, 1000, 7);
    const auto victimSha = sha256OfFile(victim);
    const auto session = [](const std::string& url) {
        return replying("upload-session", json{{"presignedURL", url}, {"objectKey", "k"}}.dump());
    };
    const auto partURLs = [](int count, const std::string& url) {
        return replying("upload-part-urls", json{{"presignedUrls", json(count, url)}}.dump());
    };
    const std::vector<BadReply> cases{
        {"invalid JSON", replying("create-task", "{\"id\": \"abc\""), "not valid JSON"},
        {"body over the cap", replying("create-task", "{\"id\":\"" + std::string(9 * kMiB, 'x') + "\"}"),
         "The server's reply was too large."},
        {"completion redirected", replying("upload-complete", "", 302), "The server returned status 302."},
        {"session with nulls", replying("upload-session", R"({"presignedURL": null, "objectKey": null})"),
         "The upload URL was missing."},
        {"upload URL naming a local file", session("file://" + victim.string()),
         "The presigned URL does not use https."},
        {"object store reply that never ends", session(local.url("/endless")),
         "The server's reply was too large."},
        {"part URLs missing", partURLs(0, local.url("/x")), "The service sent 0 upload URLs for 5 parts.",
         true},
        {"part URLs too many", partURLs(6, local.url("/x")), "The service sent 6 upload URLs for 5 parts.",
         true},
        {"part accepted without an ETag", partURLs(5, local.url("/no-etag")), "without an ETag.", true},
        {"part store reply that never ends", partURLs(5, local.url("/endless")),
         "The server's reply was too large.", true},
        {"service redirecting in a loop", nullptr, "Too many HTTP redirects.", false, local.url("/loop")},
        {"service reply that never ends", nullptr, "The server's reply was too large.", false,
         local.url("/endless")},
        {"service falling silent", nullptr, "The request timed out.", false, local.url("/silent")},
    };
    std::vector<std::filesystem::path> files;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto index = static_cast<unsigned>(files.size());
        files.push_back(mediaFile("bad-reply-" + std::to_string(index) + (c.multipart ? ".mov" : ".mp3"),
                                  c.multipart ? 50 * kMiB : 256 * 1024, 300 + index));
        server.reset();
        if (!c.fault.is_null()) server.fault(c.fault);
        const auto started = std::chrono::steady_clock::now();
        const std::string message = failureOf(files.back(), c.api, c.api.empty() ? kTimeout : kShortTimeout);
        EXPECT_NE(message.find(c.expected), std::string::npos) << "message: " << message;
        if (!c.api.empty()) {
            EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
        }
        EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates().size(), files.size());
    }
    EXPECT_EQ(sha256OfFile(victim), victimSha);

    // A relaunch against the sound service completes every upload with its source's content.
    server.reset();
    auto manager = relaunchAndResume(10s, 120s);
    for (const auto& model : manager->activeUploads())
        EXPECT_EQ(model->status().kind(), Status::Kind::completed)
            << model->fileName() << ": " << model->status().message().value_or("");
    EXPECT_TRUE(filesUnder(stateDir()).empty());
    for (const auto& file : files)
        EXPECT_EQ(onlyTaskFor(file.filename()).value_or(json::object()).value("sha256", ""),
                  sha256OfFile(file))
            << file;
}

// An interrupted completion resumes with what is left only. The parts were assembled and then the
// notice failed: only the notice is sent (the spent upload id is neither asked for part URLs nor
// completed again). The storage assembled the parts but the reply was lost (the client gave up
// waiting, "completing" is recorded): the completion is repeated first, whether the service
// remembers it (the same answer again) or forgot the upload (404), then the notice.
TEST_F(BadReplies, AnInterruptedCompletionResumesWithWhatIsLeftOnly) {
    const json lostReply{{"route", "complete-multipart-upload"}, {"delayMs", 2500}};
    const std::tuple<const char*, json, const char*, bool, int> cases[] = {
        {"notice failed", replying("upload-complete", R"({"message":"Internal failure"})", 500),
         "Internal failure", false, 0},
        {"reply lost, the service remembers", lostReply, "The request timed out.", false, 1},
        {"reply lost, the service forgot", lostReply, "The request timed out.", true, 1},
    };
    unsigned index = 0;
    for (const auto& [what, fault, message, serviceForgets, completions] : cases) {
        SCOPED_TRACE(what);
        const std::string name = "completion-" + std::to_string(++index) + ".mov";
        const auto file = mediaFile(name, 50 * kMiB + index, 500 + index);
        server.reset();
        server.fault(fault);
        EXPECT_EQ(failureOf(file, {}, completions ? 1500ms : kTimeout), message);
        EXPECT_TRUE(UploadStateStore(stateDir()).loadIncompleteStates().at(0).completing);

        // The service finishes the completion meanwhile.
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (!onlyTaskFor(name)->contains("sha256") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        if (serviceForgets) server.restart();
        server.reset();
        auto manager = relaunchAndResume(kTimeout);
        const auto& status = manager->activeUploads().at(0)->status();
        ASSERT_EQ(status.kind(), Status::Kind::completed) << status.message().value_or("");
        for (const char* route : {"upload-session", "upload-part-urls", "part-put"})
            EXPECT_EQ(server.requestCount(route), 0) << route;
        EXPECT_EQ(server.requestCount("complete-multipart-upload"), completions);
        EXPECT_EQ(server.requestCount("upload-complete"), 1);
        EXPECT_EQ(onlyTaskFor(name)->value("sha256", ""), sha256OfFile(file));
        EXPECT_TRUE(filesUnder(stateDir()).empty());
    }
}

// On a slow link the part URLs' signatures expire before the last parts go out: the storage's 403
// fetches fresh URLs for the parts still pending, and the upload goes on, its progress showing.
TEST_F(BadReplies, PartURLsThatExpireMidUploadAreFetchedAfresh) {
    DevServerOptions options;
    options.partUrlTtlSeconds = 2;
    DevServer shortLived(options);
    shortLived.fault({{"route", "part-put"}, {"times", 6}, {"delayMs", 2500}});  // held past the expiry
    const auto file = mediaFile("slow-link.mov", 75 * kMiB, 700);
    auto manager = makeFastManager(kTimeout, shortLived.baseUrl());
    manager->start(draftFor(file));
    // What a view reads on each announcement: the progress moves part by part meanwhile.
    std::set<double> seen;
    auto& model = *manager->activeUploads().at(0);
    model.changed.connect([&] { seen.insert(model.progress()); });
    waitForJobs(*manager, 60s);
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](double p) { return p > 0 && p < 0.92; }), 6)
        << seen.size();
    EXPECT_GE(shortLived.requestCount("upload-part-urls"), 2);
    EXPECT_EQ(shortLived.tasks().at(0).value("sha256", ""), sha256OfFile(file));
}

}  // namespace
}  // namespace vhbr::test
