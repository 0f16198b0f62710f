// Connectivity lost in the middle of a multipart upload: the upload waits for the network by
// itself, probing the service with back-off, and completes with the source's bytes once the
// service answers, sending again only the parts that were in flight. The stall window and the
// back-off are shortened here so each outage takes seconds.

#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
constexpr int kParts = 8;

struct Outage {
    const char* name;
    json outage;  // posted to /__dev/outage once parts are on their way; null: none
    json fault;   // armed before the start; null: none
    int dropped = 0;  // part PUTs the fault cuts off
};

class NetworkOutageTest : public UploadManagerTest {
protected:
    // A manager with a 1 s stall window that waits for the network without a limit.
    std::unique_ptr<UploadManager> makeWaitingManager(std::chrono::milliseconds firstPause = 100ms) {
        auto options = managerOptions();
        options.networkWaitLimit.reset();
        options.networkRetryFirst = firstPause;
        options.networkRetryCap = std::max(firstPause, options.networkRetryCap);
        auto manager = std::make_unique<UploadManager>(
            loop, AppConfig{server.baseUrl() + "/app", server.baseUrl()}, APIClient(server.baseUrl(), &session, 1s),
            UploadStateStore(stateDir()), fastUploader, defaults, options);
        manager->setTokenProvider(&tokens);
        return manager;
    }

    // A multipart upload of slowed parts (300 ms each) whose first pause for the network lasts a
    // minute, so that only a hint ends a wait in time; returns once `begun` part PUTs have begun.
    struct SlowUpload {
        std::unique_ptr<UploadManager> manager;
        std::shared_ptr<UploadTaskModel> model;
        std::filesystem::path file;
    };
    SlowUpload startSlowUpload(const std::string& name, int parts, unsigned seed, int begun) {
        SlowUpload upload{makeWaitingManager(60s), nullptr, mediaFile(name, parts * 10 * kMiB, seed)};
        server.fault({{"route", "part-put"}, {"times", 3 * parts}, {"delayMs", 300}});
        upload.manager->start(draftFor(upload.file));
        upload.model = upload.manager->activeUploads().at(0);
        EXPECT_TRUE(loop.runUntil([&] { return server.requestCount("part-put") >= begun; }, 30s));
        return upload;
    }

    BackgroundPartUploader fastUploader{"com.velvetharbor.linux.upload.parts", 1s};
};

TEST_F(NetworkOutageTest, AnUploadWaitsOutLostConnectivityAndSendsAgainOnlyThePartsInFlight) {
    const std::vector<Outage> cases{
        {"port closed 3 s", {{"kind", "dark"}, {"ms", 3000}}, nullptr},
        {"service silent 3 s, stall window 1 s", {{"kind", "stall"}, {"ms", 3000}}, nullptr},
        // Six times: libcurl itself sends a request again (up to five times) when a kept-alive
        // connection drops it before any answer.
        {"connection reset during a part",
         nullptr,
         {{"route", "part-put"}, {"partNumber", 4}, {"drop", true}, {"times", 6}},
         6},
        {"storage host does not resolve", nullptr, {{"route", "upload-part-urls"}, {"badHost", true}}},
    };
    unsigned index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        ++index;
        const auto file = mediaFile("outage-" + std::to_string(index) + ".mov", kParts * 10 * kMiB, 40 + index);
        if (!c.fault.is_null()) server.fault(c.fault);  // first: a request takes the first fault that fits
        // Each part is held a moment at the storage, so the outage meets parts in flight.
        server.fault({{"route", "part-put"}, {"times", 3 * kParts}, {"delayMs", 300}});
        auto manager = makeWaitingManager();
        manager->start(draftFor(file));
        auto& model = *manager->activeUploads().at(0);
        // Each time the upload starts waiting for the network is one outage as the client saw it.
        int outages = 0;
        bool waiting = false;
        model.changed.connect([&] {
            const bool now = model.status().kind() == Status::Kind::waitingForNetwork;
            outages += now && !waiting;
            waiting = now;
        });
        if (!c.outage.is_null()) {
            ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("part-put") >= 3; }, 20s));
            server.post("/__dev/outage", c.outage);
        }
        waitForJobs(*manager, 60s);
        ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
        EXPECT_GE(outages, 1);
        EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
        // Parts the storage acknowledged before an outage are not sent again, only those in flight:
        // six, and the one that took the place of a part finishing as the outage began.
        int again = -c.dropped;
        for (int part = 1; part <= kParts; ++part) again += std::max(0, server.partPutCount(part) - 1);
        EXPECT_LE(again, 7 * outages);
        EXPECT_TRUE(filesUnder(stateDir()).empty());
    }
}

// A hint from the desktop (the network changed, the machine woke up) ends a long pause at once.
TEST_F(NetworkOutageTest, AHintFromTheDesktopEndsThePauseAtOnce) {
    server.fault({{"route", "object-put"}, {"delayMs", 300}});
    const auto file = mediaFile("hint.mp3", 4 * kMiB, 70);
    auto manager = makeWaitingManager(60s);
    manager->start(draftFor(file));
    auto& model = *manager->activeUploads().at(0);
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("object-put") >= 1; }, 20s));
    server.post("/__dev/outage", {{"kind", "dark"}, {"ms", 1000}});
    ASSERT_TRUE(loop.runUntil([&] { return model.status().kind() == Status::Kind::waitingForNetwork; }, 20s));
    EXPECT_EQ(model.status().retryDelay(), 60s);
    loop.runUntil([] { return false; }, 2s);  // the port is open again, the pause far from over
    const auto hinted = std::chrono::steady_clock::now();
    manager->networkMayHaveChanged();
    waitForJobs(*manager, 30s);
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_LT(std::chrono::steady_clock::now() - hinted, 20s);
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
}

// The machine about to sleep: a multipart upload ends its part requests at once and waits as for
// an outage, its state kept; the wake's hint sends it on, and no acknowledged part goes again.
TEST_F(NetworkOutageTest, ASleepWaitsAsForAnOutageAndTheWakeSendsTheUploadOn) {
    constexpr int parts = 20;
    auto [manager, modelPtr, file] = startSlowUpload("sleep.mov", parts, 80, 8);
    auto& model = *modelPtr;

    const auto asleep = std::chrono::steady_clock::now();
    manager->machineWillSleep();
    ASSERT_TRUE(loop.runUntil([&] { return model.status().kind() == Status::Kind::waitingForNetwork; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - asleep, 1s);
    EXPECT_EQ(model.status().retryDelay(), 60s);
    const auto putsWhenAsleep = server.requestCount("part-put");
    const auto saved = UploadStateStore(stateDir()).loadIncompleteStates();
    ASSERT_EQ(saved.size(), 1u);
    const auto acknowledged = saved.front().completedParts;
    ASSERT_FALSE(acknowledged.empty());
    ASSERT_LT(acknowledged.size(), static_cast<std::size_t>(parts));
    loop.runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(server.requestCount("part-put"), putsWhenAsleep);
    EXPECT_EQ(model.status().kind(), Status::Kind::waitingForNetwork);

    manager->networkMayHaveChanged();
    waitForJobs(*manager, 30s);
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
    for (const auto& part : acknowledged)
        EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 1) << "part " << part.partNumber;
    EXPECT_TRUE(filesUnder(stateDir()).empty());
}

// The wake may come before the sleeping upload has begun to wait: the hint still ends that wait.
TEST_F(NetworkOutageTest, AWakeRightAfterTheSleepIsNotMissed) {
    auto [manager, modelPtr, file] = startSlowUpload("wake.mov", kParts, 81, 3);
    auto& model = *modelPtr;
    manager->machineWillSleep();
    manager->networkMayHaveChanged();
    waitForJobs(*manager, 30s);  // the pause alone would last 60 s
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
}

}  // namespace
}  // namespace vhbr::test
