#include "Upload/UploadJobLock.hpp"
#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

using Status = UploadTaskStatus;
constexpr std::uint64_t kMiB = 1024 * 1024;

struct ScriptedPrompt : ResumePrompt {
    bool answer;
    std::vector<std::pair<std::string, std::string>> asked;
    explicit ScriptedPrompt(bool a) : answer(a) {}
    void confirmResume(const std::string& message, const std::string& informative,
                       std::function<void(bool)> respond) override {
        asked.emplace_back(message, informative);
        respond(answer);
    }
};

class ResumeTest : public UploadManagerTest {
protected:
    // Runs one upload that fails under the given fault, leaving its state behind.
    std::filesystem::path failOnce(const nlohmann::json& fault, std::uint64_t size = 50 * kMiB) {
        auto file = mediaFile("movie.mp4", size);
        server.fault(fault);
        auto manager = makeManager();
        manager->start(draftFor(file));
        waitForJobs(*manager);
        EXPECT_EQ(manager->activeUploads()[0]->status().kind(), Status::Kind::failed);
        server.reset();
        return file;
    }

    // A fresh manager, as after a relaunch, that resumes everything and waits.
    std::unique_ptr<UploadManager> relaunchAndResume() {
        auto manager = makeManager();
        ScriptedPrompt yes(true);
        manager->offerResumeIfNeeded(yes);
        waitForJobs(*manager);
        return manager;
    }

    void expectCompletedWithSource(UploadManager& manager, const std::filesystem::path& file) {
        ASSERT_EQ(manager.activeUploads().size(), 1u);
        const auto& model = *manager.activeUploads()[0];
        ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
        EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
        EXPECT_TRUE(filesUnder(stateDir()).empty());
    }
};

TEST_F(ResumeTest, WithEverythingSavedOnlyMissingPartsAreSent) {
    auto file = failOnce({{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", 3}});
    auto saved = UploadStateStore(stateDir()).loadIncompleteStates().at(0).completedParts;
    auto manager = relaunchAndResume();
    expectCompletedWithSource(*manager, file);
    EXPECT_EQ(server.requestCount("create-task"), 0);
    EXPECT_EQ(server.requestCount("upload-session"), 0);
    EXPECT_EQ(server.requestCount("part-put"), 5 - static_cast<int>(saved.size()));
    for (const auto& part : saved) EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 0);
}

// Parts 13 to 15 fail for good, so exactly parts 1 to 12 are acknowledged; the resume neither
// sends nor writes any of them.
TEST_F(ResumeTest, AcknowledgedPartsAreNotWrittenAgain) {
    for (int part : {14, 15})
        server.fault({{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", part}});
    auto file =
        failOnce({{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", 13}}, 150 * kMiB);
    auto saved = UploadStateStore(stateDir()).loadIncompleteStates().at(0).completedParts;
    ASSERT_EQ(saved.size(), 12u);
    std::unique_ptr<UploadManager> manager;
    std::set<std::string> written;
    {
        PartFolderWatcher watcher(partDir());
        manager = relaunchAndResume();
        written = watcher.namesSeen();
    }
    expectCompletedWithSource(*manager, file);
    for (const auto& part : saved) {
        EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 0) << part.partNumber;
        EXPECT_FALSE(written.contains("part-" + std::to_string(part.partNumber))) << part.partNumber;
    }
    EXPECT_FALSE(written.empty()) << "the watcher saw the parts that were sent";
}

TEST_F(ResumeTest, WithATaskButNoSessionANewSessionIsAskedForTheSameTask) {
    auto file = failOnce({{"route", "upload-session"}, {"times", 1}, {"status", 500}});
    auto manager = relaunchAndResume();
    expectCompletedWithSource(*manager, file);
    EXPECT_EQ(server.requestCount("create-task"), 0);
    EXPECT_EQ(server.requestCount("upload-session"), 1);
}

TEST_F(ResumeTest, WithAllPartsDoneOnlyTheCompletionIsSent) {
    auto file = failOnce({{"route", "complete-multipart-upload"}, {"times", 1}, {"status", 500}});
    auto manager = relaunchAndResume();
    expectCompletedWithSource(*manager, file);
    EXPECT_EQ(server.requestCount("part-put"), 0);
    EXPECT_EQ(server.requestCount("upload-part-urls"), 0);
    EXPECT_EQ(server.requestCount("complete-multipart-upload"), 1);
}

// A killed run leaves its part files; at the next start they go unless a saved upload will reuse the
// folder or a running upload (another process) holds it.
TEST_F(ResumeTest, PartFoldersOfNoSavedOrRunningUploadAreRemovedAtStart) {
    failOnce({{"route", "upload-session"}, {"times", 1}, {"status", 500}}, 1000);
    const auto saved = UploadStateStore(stateDir()).loadIncompleteStates().at(0).clientRequestId;
    for (const std::string& name : {saved, std::string("orphan"), std::string("running")}) {
        std::filesystem::create_directories(partDir() / name);
        writePatternFile(partDir() / name / "part-1", 10);
    }
    UploadJobLock running(dir / "Locks", "running");
    auto manager = makeManager();
    EXPECT_FALSE(std::filesystem::exists(partDir() / "orphan"));
    EXPECT_TRUE(std::filesystem::exists(partDir() / saved / "part-1"));
    EXPECT_TRUE(std::filesystem::exists(partDir() / "running" / "part-1"));
}

TEST_F(ResumeTest, NotNowKeepsEverythingAndResumeShowsPausedUploadsNewestLast) {
    failOnce({{"route", "upload-session"}, {"times", 1}, {"status", 500}}, 1000);
    auto other = mediaFile("other.mp4", 2000);
    server.fault({{"route", "upload-session"}, {"times", 1}, {"status", 500}});
    {
        auto manager = makeManager();
        manager->start(draftFor(other));
        waitForJobs(*manager);
    }
    auto manager = makeManager();
    ScriptedPrompt no(false);
    manager->offerResumeIfNeeded(no);
    ASSERT_EQ(no.asked.size(), 1u);
    EXPECT_EQ(no.asked[0], std::make_pair(std::string("Resume incomplete uploads?"),
                                          std::string("Velvetharbor found 2 uploads that did not finish.")));
    EXPECT_EQ(manager->resumableStates().size(), 2u);
    EXPECT_TRUE(manager->activeUploads().empty());

    const auto lastOfList = manager->resumableStates().back().fileName;
    manager->resumeAll();
    EXPECT_TRUE(manager->resumableStates().empty());
    ASSERT_EQ(manager->activeUploads().size(), 2u);
    EXPECT_EQ(manager->activeUploads()[0]->fileName(), lastOfList);
    EXPECT_EQ(manager->activeUploads()[0]->status(), Status::paused());
    waitForJobs(*manager);
}

TEST_F(ResumeTest, NoQuestionWithoutUnfinishedUploads) {
    auto manager = makeManager();
    ScriptedPrompt yes(true);
    manager->offerResumeIfNeeded(yes);
    EXPECT_TRUE(yes.asked.empty());
}

TEST_F(ResumeTest, AStateWithoutBookmarkFailsAtOnceAndStays) {
    UploadState state;
    state.clientRequestId = "mac-000000000000000000000001";
    state.fileName = "lost.mp4";
    state.fileSize = 10;
    state.mimeType = "video/mp4";
    state.sourceLanguage = "auto";
    state.targetLanguage = "en";
    UploadStateStore(stateDir()).save(state);
    auto manager = relaunchAndResume();
    EXPECT_EQ(manager->activeUploads()[0]->status(),
              Status::failed("The original file permission is missing. Start this upload again."));
    EXPECT_EQ(filesUnder(stateDir()).size(), 1u);
    EXPECT_EQ(server.requestCount("create-task"), 0);
}

TEST_F(ResumeTest, AReplacedSourceFileIsNeverUploaded) {
    auto file = failOnce({{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", 4}});
    std::filesystem::remove(file);
    mediaFile("movie.mp4", 50 * kMiB, /*seed=*/7);
    auto manager = relaunchAndResume();
    const auto& status = manager->activeUploads()[0]->status();
    ASSERT_EQ(status.kind(), Status::Kind::failed);
    EXPECT_NE(status.message()->find("movie.mp4"), std::string::npos) << *status.message();
    EXPECT_EQ(server.requestCount("part-put"), 0);
    EXPECT_EQ(filesUnder(stateDir()).size(), 1u);
}

}  // namespace
}  // namespace vhbr::test
