#include "Upload/UploadJobLock.hpp"
#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

using Status = UploadTaskStatus;
constexpr std::uint64_t kMiB = 1024 * 1024;

struct ModeCase {
    std::uint64_t size;
    int objectPuts;
    int partPuts;
};

class TransferModeTest : public UploadManagerTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TransferModeTest, SmallFilesGoByOnePutAndLargeOnesInParts) {
    auto manager = makeManager();
    auto file = mediaFile("media.mp4", GetParam().size);
    manager->start(draftFor(file));
    waitForJobs(*manager);
    const auto& model = *manager->activeUploads()[0];
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(server.requestCount("object-put"), GetParam().objectPuts);
    EXPECT_EQ(server.requestCount("part-put"), GetParam().partPuts);
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransferModeTest,
                         ::testing::Values(ModeCase{52'428'799, 1, 0}, ModeCase{52'428'800, 0, 5},
                                           ModeCase{52'428'801, 0, 6}));

TEST_F(UploadManagerTest, CompletionRemovesStateAndPartsAndAnnouncesTheTask) {
    auto manager = makeManager();
    std::vector<double> progress;
    manager->start(draftFor(mediaFile("lecture.mkv", 60 * kMiB)));
    auto model = manager->activeUploads()[0];
    model->changed.connect([&] { progress.push_back(model->progress()); });
    waitForJobs(*manager);

    ASSERT_EQ(model->status().kind(), Status::Kind::completed) << model->status().message().value_or("");
    const std::string taskId = *model->status().taskID();
    EXPECT_EQ(model->taskID(), taskId);
    EXPECT_EQ(model->progress(), 1.0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_TRUE(filesUnder(stateDir()).empty());
    EXPECT_TRUE(filesUnder(partDir()).empty());
    EXPECT_EQ(manager->completedTaskIDs(), std::vector<std::string>{taskId});
    EXPECT_EQ(navigator.tasks, std::vector<std::string>{taskId});
    ASSERT_EQ(notifications.posted.size(), 1u);
    EXPECT_EQ(notifications.posted[0], uploadCompletedContent("lecture.mkv", taskId));
    EXPECT_EQ(badge.values.back(), std::nullopt);
    EXPECT_EQ(storedTask(taskId)->value("status", ""), "processing");
}

TEST_F(UploadManagerTest, APartFailingTwiceIsRetriedAndRecorded) {
    auto manager = makeManager();
    server.fault({{"route", "part-put"}, {"times", 2}, {"status", 500}, {"partNumber", 3}});
    auto file = mediaFile("retry.mp4", 50 * kMiB);
    manager->start(draftFor(file));
    waitForJobs(*manager);
    ASSERT_EQ(manager->activeUploads()[0]->status().kind(), Status::Kind::completed);
    EXPECT_EQ(server.partPutCount(3), 3);
    EXPECT_EQ(server.partPutCount(2), 1);
}

// Part 5 is acknowledged only after part 2 failed for good: it is kept all the same, so a resume
// does not send it again.
TEST_F(UploadManagerTest, APartFailingThreeTimesFailsTheUploadKeepingEveryAcknowledgedPart) {
    auto manager = makeManager();
    server.fault({{"route", "part-put"}, {"times", 3}, {"status", 503}, {"partNumber", 2}});
    server.fault({{"route", "part-put"}, {"times", 1}, {"delayMs", 1000}, {"partNumber", 5}});
    manager->start(draftFor(mediaFile("fail.mp4", 50 * kMiB)));
    waitForJobs(*manager);

    const auto& model = *manager->activeUploads()[0];
    EXPECT_EQ(model.status(), Status::failed("The server returned status 503."));
    ASSERT_TRUE(manager->uploadAlert());
    EXPECT_EQ(manager->uploadAlert()->title, "Upload failed");
    EXPECT_EQ(manager->uploadAlert()->message, "The server returned status 503.");
    auto states = UploadStateStore(stateDir()).loadIncompleteStates();
    ASSERT_EQ(states.size(), 1u);
    std::vector<std::int64_t> saved;
    for (const auto& part : states[0].completedParts) saved.push_back(part.partNumber);
    EXPECT_EQ(saved, (std::vector<std::int64_t>{1, 3, 4, 5}));
    EXPECT_TRUE(filesUnder(partDir()).empty());
}

// Each part is written just before it is sent and removed once acknowledged: the folder never
// holds more than the parts in flight plus one, whatever the file's size.
TEST_F(UploadManagerTest, PartFilesTakeAtMostTheDiskOfThePartsInFlight) {
    auto manager = makeManager();
    auto file = mediaFile("long.mkv", 200 * kMiB);
    PartFolderWatcher watcher(partDir());
    manager->start(draftFor(file));
    waitForJobs(*manager);
    const auto& model = *manager->activeUploads()[0];
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
    EXPECT_GT(watcher.peakBytes(), 0u);
    EXPECT_LE(watcher.peakBytes(), 7 * static_cast<std::uintmax_t>(kPartSize));
    EXPECT_TRUE(filesUnder(partDir()).empty());
}

TEST_F(UploadManagerTest, APartURLListOfAnotherLengthFailsBeforeAnyPart) {
    auto manager = makeManager();
    nlohmann::json urls = nlohmann::json::array();
    for (int i = 1; i <= 6; ++i) urls.push_back(server.presign("spare/part-" + std::to_string(i)));
    server.fault({{"route", "upload-part-urls"},
                  {"times", 1},
                  {"status", 200},
                  {"body", nlohmann::json{{"presignedUrls", urls}}.dump()}});
    manager->start(draftFor(mediaFile("eight.mp4", 75 * kMiB)));
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads()[0]->status(), Status::failed("The service sent 6 upload URLs for 8 parts."));
    EXPECT_EQ(server.requestCount("part-put"), 0);
    EXPECT_TRUE(filesUnder(partDir()).empty());
}

TEST_F(UploadManagerTest, WithoutASignedInUserTheUploadFailsAndItsStateStays) {
    auto manager = makeManager(/*signedIn=*/false);
    manager->start(draftFor(mediaFile("nobody.mp4", 1000)));
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads()[0]->status(), Status::failed("Sign in before starting a native upload."));
    EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates().size(), 1u);
    EXPECT_EQ(server.requestCount("create-task"), 0);
}

TEST_F(UploadManagerTest, SessionWithoutAnObjectKeyFailsAtFinalisation) {
    auto manager = makeManager();
    server.fault({{"route", "upload-session"},
                  {"times", 1},
                  {"status", 200},
                  {"body", nlohmann::json{{"presignedURL", server.presign("loose/object")}}.dump()}});
    manager->start(draftFor(mediaFile("nokey.mp4", 1000)));
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads()[0]->status(), Status::failed("The uploaded object key was missing."));
    EXPECT_EQ(server.requestCount("object-put"), 1);
    EXPECT_EQ(server.requestCount("upload-complete"), 0);
}

TEST_F(UploadManagerTest, CancellingTakesTheCancelledBranchAndCleansUpTheStagedUpload) {
    auto manager = makeManager();
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 3000}});
    manager->start(draftFor(mediaFile("cancel.mp4", 1000)));
    auto model = manager->activeUploads()[0];
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("upload-session") == 1; }));
    manager->cancel(model->id());
    waitForJobs(*manager, std::chrono::seconds(2));
    EXPECT_EQ(model->status(), Status::cancelled());
    EXPECT_FALSE(manager->uploadAlert());
    EXPECT_EQ(server.requestCount("staged-upload-cleanup"), 1);
    EXPECT_TRUE(filesUnder(stateDir()).empty());
}

// Once the completion notice is sent the service may have accepted the task: a cancel then must
// not clean it up, and the upload completes.
TEST_F(UploadManagerTest, ACancelDuringTheCompletionNoticeLetsTheUploadComplete) {
    auto manager = makeManager();
    server.fault({{"route", "upload-complete"}, {"times", 1}, {"delayMs", 1500}});
    manager->start(draftFor(mediaFile("late-cancel.mp4", 1000)));
    auto model = manager->activeUploads()[0];
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("upload-complete") == 1; }));
    manager->cancel(model->id());
    waitForJobs(*manager, std::chrono::seconds(5));
    ASSERT_EQ(model->status().kind(), Status::Kind::completed) << model->status().message().value_or("");
    EXPECT_TRUE(storedTask(*model->taskID())->value("uploadComplete", false));
    EXPECT_EQ(server.requestCount("staged-upload-cleanup"), 0);
    EXPECT_TRUE(filesUnder(stateDir()).empty());
}

// Another process must not start the upload while its staged files are being cleaned up.
TEST_F(UploadManagerTest, TheLockIsHeldThroughTheCleanUp) {
    auto manager = makeManager();
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 3000}});
    server.fault({{"route", "staged-upload-cleanup"}, {"times", 1}, {"delayMs", 1500}});
    manager->start(draftFor(mediaFile("locked.mp4", 1000)));
    auto model = manager->activeUploads()[0];
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("upload-session") == 1; }));
    manager->cancel(model->id());
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("staged-upload-cleanup") == 1; }));
    EXPECT_THROW(UploadJobLock(dir / "Locks", model->clientRequestId()), AppError);
    waitForJobs(*manager, std::chrono::seconds(5));
    EXPECT_TRUE(filesUnder(dir / "Locks").empty()) << "the lock file goes with its upload";
    EXPECT_NO_THROW(UploadJobLock(dir / "Locks", model->clientRequestId()));
    EXPECT_TRUE(filesUnder(dir / "Locks").empty());
}

TEST(UploadJobLock, AKeyThatCannotNameAFileIsRefused) {
    TempDir dir;
    for (const char* id : {"", "../escape", ".hidden", "a/b"})
        EXPECT_THROW(UploadJobLock(dir / "Locks" / "x", id), FileSystemError) << id;
    EXPECT_FALSE(std::filesystem::exists(dir / "Locks" / "escape.lock"));
}

TEST_F(UploadManagerTest, QuittingStopsJobsButKeepsTheirState) {
    auto manager = makeManager();
    server.fault({{"route", "part-put"}, {"times", 20}, {"delayMs", 3000}});
    manager->start(draftFor(mediaFile("quit.mp4", 50 * kMiB)));
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("part-put") > 0; }));
    const auto start = std::chrono::steady_clock::now();
    manager.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates().size(), 1u);
    EXPECT_EQ(server.requestCount("staged-upload-cleanup"), 0);
}

}  // namespace
}  // namespace vhbr::test
