#include "Upload/UploadJobLock.hpp"
#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

#include <fstream>

namespace vhbr::test {
namespace {

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

    // Two small uploads, movie.mp4 and other.mp4, that failed and left their states.
    void failTwo() {
        failOnce({{"route", "upload-session"}, {"times", 1}, {"status", 500}}, 1000);
        auto other = mediaFile("other.mp4", 2000);
        server.fault({{"route", "upload-session"}, {"times", 1}, {"status", 500}});
        auto manager = makeManager();
        manager->start(draftFor(other));
        waitForJobs(*manager);
    }

    // A fresh manager, as after a relaunch, that resumes everything and waits; progress, when
    // given, receives what the first resumed upload shows from its start.
    std::unique_ptr<UploadManager> relaunchAndResume(
        std::shared_ptr<std::vector<double>>* progress = nullptr) {
        auto manager = makeManager();
        ScriptedPrompt yes(true);
        manager->offerResumeIfNeeded(yes);
        if (progress) *progress = recordProgress(*manager->activeUploads().at(0));
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

// Parts 6 to 8 fail for good, so exactly parts 1 to 5 are acknowledged: the resume sends none of
// them, runs the three others at once, and its progress starts from the five.
TEST_F(ResumeTest, OnlyTheMissingPartsAreSentAllAtOnce) {
    for (int part : {7, 8})
        server.fault({{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", part}});
    auto file =
        failOnce({{"route", "part-put"}, {"times", 3}, {"status", 500}, {"partNumber", 6}}, 80 * kMiB);
    auto saved = UploadStateStore(stateDir()).loadIncompleteStates().at(0).completedParts;
    ASSERT_EQ(saved.size(), 5u);
    server.fault({{"route", "part-put"}, {"times", 3}, {"delayMs", 400}});
    std::unique_ptr<UploadManager> manager;
    std::shared_ptr<std::vector<double>> progress;
    manager = relaunchAndResume(&progress);
    expectCompletedWithSource(*manager, file);
    EXPECT_EQ(server.requestCount("create-task") + server.requestCount("upload-session"), 0);
    EXPECT_EQ(server.requestCount("part-put"), 3);
    EXPECT_EQ(server.partPutsInFlightPeak(), 3);
    for (const auto& part : saved)
        EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 0) << part.partNumber;
    expectProgressRisesToCompletion(*progress, 5.0 / 8 * 0.92, 0.92);
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

// Earlier versions cut parts into files, and a killed run left them: at the next start they go,
// also those of a saved upload (whose resume reads the source), unless a running upload of an
// earlier version (another process) holds them.
TEST_F(ResumeTest, PartFoldersLeftByEarlierVersionsAreRemovedAtStartUnlessInUse) {
    failOnce({{"route", "upload-session"}, {"times", 1}, {"status", 500}}, 1000);
    const auto saved = UploadStateStore(stateDir()).loadIncompleteStates().at(0).clientRequestId;
    for (const std::string& name : {saved, std::string("orphan"), std::string("running")}) {
        std::filesystem::create_directories(partDir() / name);
        writePatternFile(partDir() / name / "part-1", 10);
    }
    UploadJobLock running(dir / "Locks", "running");
    auto manager = makeManager();
    EXPECT_FALSE(std::filesystem::exists(partDir() / "orphan"));
    EXPECT_FALSE(std::filesystem::exists(partDir() / saved));
    EXPECT_TRUE(std::filesystem::exists(partDir() / "running" / "part-1"));
}

// Untouched, not merely equal: a rewrite, even of the same bytes, could overwrite what another
// instance saved meanwhile.
std::map<std::filesystem::path, std::pair<std::string, std::filesystem::file_time_type>> snapshot(
    const std::vector<std::filesystem::path>& files) {
    std::map<std::filesystem::path, std::pair<std::string, std::filesystem::file_time_type>> out;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        out[file] = {std::string(std::istreambuf_iterator<char>(in), {}),
                     std::filesystem::last_write_time(file)};
    }
    return out;
}

TEST_F(ResumeTest, NotNowKeepsEverythingListedAsInterruptedAndResumeStartsThemInPlace) {
    ScriptedPrompt none(true);
    makeManager()->offerResumeIfNeeded(none);
    EXPECT_TRUE(none.asked.empty()) << "no question without unfinished uploads";
    failTwo();
    const auto before = snapshot(filesUnder(stateDir()));
    auto manager = makeManager();
    ScriptedPrompt no(false);
    manager->offerResumeIfNeeded(no);
    EXPECT_EQ(before.size(), 2u);
    EXPECT_TRUE(snapshot(filesUnder(stateDir())) == before);
    ASSERT_EQ(no.asked.size(), 1u);
    EXPECT_EQ(no.asked[0], std::make_pair(std::string("Resume incomplete uploads?"),
                                          "Velvetharbor found 2 uploads that did not finish: " +
                                              manager->resumableStates()[0].media.fileName + " and " +
                                              manager->resumableStates()[1].media.fileName + "."));
    EXPECT_EQ(manager->resumableStates().size(), 2u);
    ASSERT_EQ(manager->activeUploads().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(manager->activeUploads()[i]->fileName(), manager->resumableStates()[i].media.fileName);
        EXPECT_EQ(manager->activeUploads()[i]->status(), Status::interrupted());
    }
    EXPECT_FALSE(manager->hasActiveUploads());

    const auto rows = manager->activeUploads();
    manager->resumeAll();
    EXPECT_TRUE(manager->resumableStates().empty());
    EXPECT_TRUE(manager->activeUploads() == rows);
    EXPECT_EQ(rows[0]->status(), Status::queued());
    waitForJobs(*manager);
}

// One interrupted upload resumed from its row; the other stays listed, and goes with its state
// when removed.
TEST_F(ResumeTest, AnInterruptedUploadIsResumedOrRemovedOnItsOwn) {
    failTwo();
    server.reset();
    auto manager = makeManager();
    ASSERT_EQ(manager->activeUploads().size(), 2u);
    const auto resumed = manager->activeUploads()[0];
    const auto removed = manager->activeUploads()[1];
    manager->resume(resumed->id());
    waitForJobs(*manager);
    ASSERT_EQ(resumed->status().kind(), Status::Kind::completed) << resumed->status().message().value_or("");
    EXPECT_EQ(removed->status(), Status::interrupted());
    EXPECT_EQ(manager->resumableStates().size(), 1u);
    manager->remove(removed->id());
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads().size(), 1u);
    EXPECT_EQ(server.requestCount("staged-upload-cleanup"), 1);
    EXPECT_TRUE(filesUnder(stateDir()).empty());
}

TEST_F(ResumeTest, AStateWithoutBookmarkFailsAtOnceAndStays) {
    UploadState state;
    state.clientRequestId = "mac-000000000000000000000001";
    state.media = {.fileName = "lost.mp4", .fileSize = 10, .mimeType = "video/mp4"};
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
