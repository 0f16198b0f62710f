// One upload steered from the list: pause, resume, cancel and retry, each against the devserver.

#include "Platform/RateLimiter.hpp"
#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

class UploadControlTest : public UploadManagerTest {
protected:
    // Starts a multipart upload whose parts the storage holds for a while, and pauses it once the
    // first parts are acknowledged and more are in flight.
    std::shared_ptr<UploadTaskModel> startAndPauseMidway(UploadManager& manager, const std::filesystem::path& file) {
        server.fault({{"route", "part-put"}, {"times", 100}, {"delayMs", 300}});
        manager.start(draftFor(file));
        auto model = manager.activeUploads().at(0);
        EXPECT_TRUE(loop.runUntil([&] { return model->progress() > 0; }));
        manager.pause(model->id());
        waitForJobs(manager);
        EXPECT_EQ(model->status(), Status::paused());
        return model;
    }

    std::vector<CompletedUploadPart> savedParts() {
        const auto states = UploadStateStore(stateDir()).loadIncompleteStates();
        return states.empty() ? std::vector<CompletedUploadPart>{} : states.at(0).completedParts;
    }

    // Runs the loop for the given time and says whether the storage saw a part PUT meanwhile.
    bool partPutWithin(std::chrono::milliseconds time) {
        const int before = server.requestCount("part-put");
        loop.runUntil([] { return false; }, time);
        return server.requestCount("part-put") != before;
    }
};

TEST_F(UploadControlTest, PauseStopsSendingKeepsTheAcknowledgedPartsAndResumeSendsNoneOfThemAgain) {
    auto manager = makeManager();
    const auto file = mediaFile("pause.mp4", 130 * kMiB);
    auto model = startAndPauseMidway(*manager, file);
    EXPECT_FALSE(partPutWithin(std::chrono::seconds(2))) << "a paused upload sends nothing";
    const auto saved = savedParts();
    ASSERT_FALSE(saved.empty());
    ASSERT_LT(saved.size(), 13u);
    EXPECT_EQ(server.requestCount("staged-upload-cleanup"), 0);
    EXPECT_FALSE(manager->hasActiveUploads());
    std::map<std::int64_t, int> putsBefore;
    for (const auto& part : saved) putsBefore[part.partNumber] = server.partPutCount(static_cast<int>(part.partNumber));

    server.reset();
    manager->resume(model->id());
    EXPECT_TRUE(manager->hasActiveUploads());
    waitForJobs(*manager);
    ASSERT_EQ(model->status().kind(), Status::Kind::completed) << model->status().message().value_or("");
    EXPECT_EQ(storedTask(*model->taskID())->value("sha256", ""), sha256OfFile(file));
    for (const auto& part : saved)
        EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 0) << part.partNumber;
    EXPECT_EQ(server.requestCount("create-task"), 0);
    EXPECT_TRUE(filesUnder(stateDir()).empty());
}

// Resume asked while the pause is still ending starts once it has ended, from the saved state.
TEST_F(UploadControlTest, ResumeRightAfterPauseWaitsForThePauseToEnd) {
    auto manager = makeManager();
    const auto file = mediaFile("quick.mp4", 60 * kMiB);
    server.fault({{"route", "part-put"}, {"times", 100}, {"delayMs", 300}});
    manager->start(draftFor(file));
    auto model = manager->activeUploads().at(0);
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("part-put") > 0; }));
    manager->pause(model->id());
    manager->resume(model->id());
    waitForJobs(*manager);
    ASSERT_EQ(model->status().kind(), Status::Kind::completed) << model->status().message().value_or("");
    EXPECT_EQ(storedTask(*model->taskID())->value("sha256", ""), sha256OfFile(file));
    EXPECT_EQ(server.requestCount("create-task"), 1);
}

TEST_F(UploadControlTest, CancelOfAPausedUploadCleansUpOnTheServiceAndLeavesNoState) {
    auto manager = makeManager();
    auto model = startAndPauseMidway(*manager, mediaFile("drop.mp4", 80 * kMiB));
    ASSERT_FALSE(filesUnder(stateDir()).empty());
    manager->cancel(model->id());
    waitForJobs(*manager);
    EXPECT_EQ(model->status(), Status::cancelled());
    EXPECT_EQ(server.requestCount("staged-upload-cleanup"), 1);
    EXPECT_TRUE(filesUnder(stateDir()).empty());
    EXPECT_TRUE(filesUnder(partDir()).empty());
    manager->remove(model->id());
    EXPECT_TRUE(manager->activeUploads().empty());
}

// Whatever step failed, a retry completes the same file with the same choices.
TEST_F(UploadControlTest, RetryAfterAFailureCompletes) {
    const struct {
        std::string name;
        nlohmann::json fault;
        std::uint64_t size;
    } cases[] = {
        {"task", {{"route", "create-task"}, {"times", 1}, {"status", 500}}, 1000},
        {"single PUT", {{"route", "object-put"}, {"times", 1}, {"status", 500}}, 2 * kMiB},
        {"part", {{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", 3}}, 60 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        auto manager = makeManager();
        const auto file = mediaFile("retry.mp4", c.size, static_cast<unsigned>(c.size));
        server.fault(c.fault);
        auto draft = draftFor(file);
        draft.intent = UploadIntent::translate;
        draft.targetLanguage = "de";
        manager->start(draft);
        auto model = manager->activeUploads().at(0);
        waitForJobs(*manager);
        ASSERT_EQ(model->status().kind(), Status::Kind::failed);
        manager->retry(model->id());
        waitForJobs(*manager);
        ASSERT_EQ(model->status().kind(), Status::Kind::completed) << model->status().message().value_or("");
        const auto task = storedTask(*model->taskID());
        EXPECT_EQ(task->value("sha256", ""), sha256OfFile(file));
        EXPECT_EQ(task->at("request").value("intent", ""), "translate");
        EXPECT_EQ(manager->activeUploads().size(), 1u) << "the row is retried, not added";
        EXPECT_TRUE(filesUnder(stateDir()).empty());
    }
}

// Six parts in flight share one budget: together they keep to the limit (a slower machine only
// takes longer, so only the lower bound is checked), and the file arrives whole.
TEST_F(UploadControlTest, ASpeedLimitIsSharedByThePartsInFlight) {
    constexpr std::int64_t kRate = 30'000'000;
    constexpr std::uint64_t kSize = 60 * kMiB;
    struct LimitGuard {
        ~LimitGuard() { RateLimiter::uploads().setRate(0); }
    } guard;
    RateLimiter::uploads().setRate(kRate);
    auto manager = makeManager();
    const auto file = mediaFile("limited.mp4", kSize);
    const auto start = std::chrono::steady_clock::now();
    manager->start(draftFor(file));
    waitForJobs(*manager);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const auto& model = *manager->activeUploads().at(0);
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
    EXPECT_EQ(server.partPutsInFlightPeak(), 6);
    // Less a quarter second's burst the bucket may start with.
    EXPECT_GE(elapsed.count(), (static_cast<double>(kSize) / kRate - 0.25) * 0.95);
}

}  // namespace
}  // namespace vhbr::test
