#include <openssl/evp.h>
#include <openssl/md5.h>

#include <fstream>

#include "Upload/UploadJobLock.hpp"
#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

// The ETag that an S3-like store gives an object assembled from parts: the MD5 of the parts' MD5s
// and the part count.
std::string multipartETagOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string md5s, chunk(static_cast<std::size_t>(kPartSize), '\0');
    std::int64_t parts = 0;
    while (in.read(chunk.data(), kPartSize) || in.gcount() > 0) {
        unsigned char digest[MD5_DIGEST_LENGTH];
        unsigned length = 0;
        EVP_Digest(chunk.data(), static_cast<std::size_t>(in.gcount()), digest, &length, EVP_md5(), nullptr);
        md5s.append(reinterpret_cast<const char*>(digest), length);
        ++parts;
    }
    unsigned char digest[MD5_DIGEST_LENGTH];
    unsigned length = 0;
    EVP_Digest(md5s.data(), md5s.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex + "-" + std::to_string(parts);
}

struct ModeCase {
    std::uint64_t size;
    const char* name;  // of another type each: the storage refuses a PUT of any other Content-Type
    int objectPuts;
    int partPuts;
    double progressCeiling;
};

class TransferModeTest : public UploadManagerTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TransferModeTest, SmallFilesGoByOnePutAndLargeOnesInPartsAllAtOnceWhenFewerThanSix) {
    auto manager = makeManager();
    // Held a moment at the storage, the parts of a run overlap there as far as the engine lets them.
    server.fault({{"route", "part-put"}, {"times", 10}, {"delayMs", 400}});
    auto file = mediaFile(GetParam().name, GetParam().size);
    manager->start(draftFor(file));
    auto model = manager->activeUploads()[0];
    const auto progress = recordProgress(*model);
    waitForJobs(*manager);

    ASSERT_TRUE(model->taskID()) << model->status().message().value_or("");
    const std::string taskId = *model->taskID();
    EXPECT_EQ(model->status(), Status::completed(taskId));
    EXPECT_EQ(server.requestCount("object-put"), GetParam().objectPuts);
    EXPECT_EQ(server.requestCount("part-put"), GetParam().partPuts);
    EXPECT_EQ(server.partPutsInFlightPeak(), GetParam().partPuts);
    EXPECT_EQ(storedTask(taskId)->value("sha256", ""), sha256OfFile(file));
    EXPECT_EQ(storedTask(taskId)->value("status", ""), "processing");
    expectProgressRisesToCompletion(*progress, 0.0, GetParam().progressCeiling);
    EXPECT_TRUE(filesUnder(stateDir()).empty());
    EXPECT_EQ(manager->completedTaskIDs(), std::vector<std::string>{taskId});
    EXPECT_EQ(navigator.tasks, std::vector<std::string>{taskId});
    EXPECT_EQ(notifications.posted,
              (std::vector<NotificationContent>{{"upload-" + taskId,
                                                 "Velvetharbor upload complete",
                                                 std::string(GetParam().name) + " is processing.",
                                                 {{"taskID", taskId}}}}));
    EXPECT_EQ(badge.values.back(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransferModeTest,
                         ::testing::Values(ModeCase{52'428'799, "below.wav", 1, 0, 0.95},
                                           ModeCase{52'428'800, "exact.mkv", 0, 5, 0.92},
                                           ModeCase{52'428'801, "above.mov", 0, 6, 0.92}));

// A part refused twice is sent again from its own range of the source: the object's ETag, which
// the storage makes from the MD5 of each part it kept, is that of the source's parts.
TEST_F(UploadManagerTest, APartFailingTwiceIsRetriedWithExactlyItsRangeAndRecorded) {
    auto manager = makeManager();
    server.fault({{"route", "part-put"}, {"times", 2}, {"status", 500}, {"partNumber", 3}});
    auto file = mediaFile("retry.mp4", 50 * kMiB);
    manager->start(draftFor(file));
    waitForJobs(*manager);
    const auto& model = *manager->activeUploads()[0];
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(server.partPutCount(3), 3);
    EXPECT_EQ(server.partPutCount(2), 1);
    EXPECT_EQ(storedTask(*model.taskID())->value("etag", ""), multipartETagOf(file));
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
}

// Six parts at a time, each read from the source as it is sent: nothing of the file is written
// anywhere under the data folder meanwhile (the state file is all that appears there).
TEST_F(UploadManagerTest, PartsGoSixAtATimeStraightFromTheSourceWithNoFileWritten) {
    auto manager = makeManager();
    server.fault({{"route", "part-put"}, {"times", 20}, {"delayMs", 400}});
    TempDir media;
    auto file = writePatternFile(media / "long.mkv", 200 * kMiB);
    FolderWatcher watcher(dir.path());
    manager->start(draftFor(file));
    waitForJobs(*manager);
    const auto& model = *manager->activeUploads()[0];
    ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
    EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
    EXPECT_EQ(server.partPutsInFlightPeak(), 6);
    EXPECT_LT(watcher.peakBytes(), 64u * 1024) << "names seen: " << ::testing::PrintToString(watcher.namesSeen());
    EXPECT_FALSE(std::filesystem::exists(partDir()));
}

TEST_F(UploadManagerTest, WithoutASignedInUserTheUploadFailsAndItsStateStays) {
    auto manager = makeManager(/*signedIn=*/false);
    manager->start(draftFor(mediaFile("nobody.mp4", 1000)));
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads()[0]->status(),
              Status::failed("Sign in before starting a native upload."));
    EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates().size(), 1u);
    EXPECT_EQ(server.requestCount("create-task"), 0);
}

TEST_F(UploadManagerTest, ASessionWithoutWhatItsModeNeedsFailsClearly) {
    const struct {
        std::string name;
        std::uint64_t size;
        nlohmann::json session;
        std::string message;
        int puts;  // the single PUT goes before the key is missed; no part goes without a session
    } cases[] = {
        {"single, no key",
         1000,
         {{"presignedURL", server.presign("loose/object")}},
         "The uploaded object key was missing.",
         1},
        {"multipart, no upload id",
         50 * kMiB,
         {{"objectKey", "loose/object"}},
         "The multipart upload session was incomplete.",
         0},
        {"multipart, no key",
         50 * kMiB,
         {{"uploadId", "u-1"}},
         "The multipart upload session was incomplete.",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        server.fault({{"route", "upload-session"}, {"status", 200}, {"body", c.session.dump()}});
        auto manager = makeManager();
        manager->start(draftFor(mediaFile(c.name + ".mp4", c.size)));
        waitForJobs(*manager);
        EXPECT_EQ(manager->activeUploads()[0]->status(), Status::failed(c.message));
        EXPECT_EQ(server.requestCount("object-put") + server.requestCount("upload-part-urls"), c.puts);
        EXPECT_EQ(server.requestCount("upload-complete"), 0);
    }
}

// Cancelling interrupts the request under way, and another process must not start the upload
// while its staged files are being cleaned up.
TEST_F(UploadManagerTest, CancellingCleansUpTheStagedUploadHoldingTheLockUntilDone) {
    auto manager = makeManager();
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 3000}});
    server.fault({{"route", "staged-upload-cleanup"}, {"times", 1}, {"delayMs", 1500}});
    manager->start(draftFor(mediaFile("cancel.mp4", 1000)));
    auto model = manager->activeUploads()[0];
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("upload-session") == 1; }));
    manager->cancel(model->id());
    ASSERT_TRUE(loop.runUntil([&] { return server.requestCount("staged-upload-cleanup") == 1; },
                              std::chrono::seconds(2)));
    EXPECT_THROW(UploadJobLock(dir / "Locks", model->clientRequestId()), AppError);
    waitForJobs(*manager, std::chrono::seconds(5));
    EXPECT_EQ(model->status(), Status::cancelled());
    EXPECT_FALSE(manager->uploadAlert());
    EXPECT_TRUE(filesUnder(stateDir()).empty());
    EXPECT_TRUE(filesUnder(dir / "Locks").empty()) << "the lock file goes with its upload";
    EXPECT_NO_THROW(UploadJobLock(dir / "Locks", model->clientRequestId()));
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
