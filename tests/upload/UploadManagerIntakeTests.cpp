#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

TEST_F(UploadManagerTest, ValidFilesBecomeADraftAndAnInvalidOneAnAlert) {
    auto manager = makeManager();
    manager->enqueueFiles({});  // nothing: no window either
    auto a = mediaFile("a.mp4", 100);
    auto b = mediaFile("b.wav", 200);
    manager->enqueueFiles({a, dir / "notes.txt", b});
    ASSERT_TRUE(loop.runUntil([&] { return manager->pendingDraft() && manager->uploadAlert(); }));
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(navigator.windowOpens, 1);
    EXPECT_EQ(manager->uploadAlert()->title, "Cannot start upload");
    EXPECT_EQ(manager->uploadAlert()->message,
              "Velvetharbor accepts MKV, MP4, WebM, MOV, AVI, WAV, MP3, OGG, M4A, AAC, and M4V files.");
    const auto& name = manager->pendingDraft()->media.fileName;
    EXPECT_TRUE(name == "a.mp4" || name == "b.wav") << name;
}

// Each of several files is confirmed in turn; Cancel skips that one only, and a file already
// waiting or uploading is not queued again.
TEST_F(UploadManagerTest, SeveralFilesAreQueuedAndConfirmedInTurn) {
    auto manager = makeManager();
    const std::vector<std::filesystem::path> files{mediaFile("a.mp4", 100), mediaFile("b.mp4", 200),
                                                   mediaFile("c.mp4", 300)};
    manager->enqueueFiles(files);
    using Position = std::pair<std::size_t, std::size_t>;
    ASSERT_TRUE(loop.runUntil([&] { return manager->pendingDraftPosition() == Position{1, 3}; }));
    const auto first = manager->pendingDraft()->media.path;
    manager->enqueueFiles({first});  // opened again while on show
    loop.runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(manager->pendingDraftPosition(), (Position{1, 3}));

    manager->setPendingDraft(std::nullopt);  // Cancel: that file only
    ASSERT_TRUE(manager->pendingDraft());
    EXPECT_EQ(manager->pendingDraftPosition(), (Position{2, 3}));
    const auto second = manager->pendingDraft()->media.path;
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 1500}});  // still running below
    manager->start(*manager->pendingDraft());
    EXPECT_EQ(manager->pendingDraftPosition(), (Position{3, 3}));
    manager->enqueueFiles({second});  // uploading now
    loop.runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(manager->pendingDraftPosition(), (Position{3, 3}));
    manager->start(*manager->pendingDraft());
    EXPECT_FALSE(manager->pendingDraft());
    EXPECT_EQ(manager->pendingDraftPosition(), (Position{1, 1}));
    waitForJobs(*manager);
    ASSERT_EQ(manager->activeUploads().size(), 2u);
    for (const auto& upload : manager->activeUploads())
        EXPECT_EQ(upload->status().kind(), Status::Kind::completed) << upload->fileName();
    EXPECT_NE(manager->activeUploads()[0]->choices().sourceFile, first);
    EXPECT_NE(manager->activeUploads()[1]->choices().sourceFile, first);
}

struct RememberedCase {
    std::map<std::string, std::string> stored;
    UploadIntent intent;
    std::string source;
    std::string target;
};

class RememberedChoicesTest : public UploadManagerTest,
                              public ::testing::WithParamInterface<RememberedCase> {};

TEST_P(RememberedChoicesTest, DraftsTakeTheRememberedChoices) {
    for (const auto& [k, v] : GetParam().stored) defaults.set(k, v);
    auto manager = makeManager();
    manager->enqueueFiles({mediaFile("clip.mkv", 10)});
    ASSERT_TRUE(loop.runUntil([&] { return manager->pendingDraft().has_value(); }));
    EXPECT_EQ(manager->pendingDraft()->intent, GetParam().intent);
    EXPECT_EQ(manager->pendingDraft()->sourceLanguage, GetParam().source);
    EXPECT_EQ(manager->pendingDraft()->targetLanguage, GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RememberedChoicesTest,
    ::testing::Values(RememberedCase{{}, UploadIntent::subtitle, "auto", "en"},
                      RememberedCase{
                          {{"VHBR_LAST_INTENT", "Translate"}}, UploadIntent::subtitle, "auto", "en"},
                      RememberedCase{{{"VHBR_LAST_INTENT", "translate"},
                                      {"VHBR_LAST_SOURCE_LANGUAGE", "xx-unlisted"},
                                      {"VHBR_LAST_TARGET_LANGUAGE", "ja"}},
                                     UploadIntent::translate,
                                     "xx-unlisted",
                                     "ja"}));

TEST_F(UploadManagerTest, StartRemembersAllThreeChoicesAndPutsTheNewUploadFirst) {
    auto manager = makeManager();
    manager->start(draftFor(mediaFile("first.mp4", 1000)));
    auto draft = draftFor(mediaFile("second.mp4", 2000));
    draft.intent = UploadIntent::translate;
    draft.sourceLanguage = "fr";
    draft.targetLanguage = "de";
    manager->setPendingDraft(draft);
    manager->start(draft);
    EXPECT_FALSE(manager->pendingDraft());
    ASSERT_EQ(manager->activeUploads().size(), 2u);
    EXPECT_EQ(manager->activeUploads()[0]->fileName(), "second.mp4");
    EXPECT_EQ(defaults.string("VHBR_LAST_INTENT"), "translate");
    EXPECT_EQ(defaults.string("VHBR_LAST_SOURCE_LANGUAGE"), "fr");
    EXPECT_EQ(defaults.string("VHBR_LAST_TARGET_LANGUAGE"), "de");
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads()[1]->status().kind(), Status::Kind::completed);
}

TEST_F(UploadManagerTest, TheSameFileCannotRunTwiceAtOnce) {
    auto manager = makeManager();
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 1500}});
    auto draft = draftFor(mediaFile("same.mp4", 1000));
    manager->start(draft);
    manager->start(draft);
    ASSERT_TRUE(manager->uploadAlert());
    EXPECT_EQ(manager->uploadAlert()->title, "Cannot start upload");
    EXPECT_EQ(manager->uploadAlert()->message, "This file is already being uploaded.");
    EXPECT_EQ(manager->activeUploads().size(), 1u);
    waitForJobs(*manager);
    EXPECT_EQ(manager->activeUploads()[0]->status().kind(), Status::Kind::completed);
    EXPECT_EQ(server.requestCount("create-task"), 1);
}

TEST(UploadManagerBadge, MeanOfActiveUploadsTruncated) {
    auto model = [](double progress, UploadTaskStatus status) {
        auto m = std::make_shared<UploadTaskModel>("mac-x", "f", 1);
        m->setProgress(progress);
        m->setStatus(status);
        return m;
    };
    EXPECT_EQ(UploadManager::badgeText({model(0.5, Status::uploading()), model(0.25, Status::queued()),
                                        model(1.0, Status::completed("t"))}),
              "37%");
    EXPECT_EQ(UploadManager::badgeText({model(1.0, Status::completed("t")), model(0.3, Status::paused())}),
              std::nullopt);
    EXPECT_EQ(UploadManager::badgeText({model(0.999, Status::finalizing())}), "99%");
    EXPECT_EQ(UploadManager::badgeText({}), std::nullopt);
}

TEST_F(UploadManagerTest, RecentTasksAreNewestFirstWithoutDuplicatesAndAtMostFive) {
    auto manager = makeManager();
    for (const char* id : {"a", "b", "c", "a", "d", "e", "f"}) manager->recordCompletedTaskID(id);
    EXPECT_EQ(manager->completedTaskIDs(), (std::vector<std::string>{"f", "e", "d", "a", "c"}));
}

TEST(ResumeQuestion, NamesUpToThreeFiles) {
    const struct {
        std::vector<std::string> names;
        std::string text;
    } cases[] = {
        {{"a.mp4"}, "Velvetharbor found 1 upload that did not finish: a.mp4."},
        {{"a.mp4", "b.mp4"}, "Velvetharbor found 2 uploads that did not finish: a.mp4 and b.mp4."},
        {{"a", "b", "c"}, "Velvetharbor found 3 uploads that did not finish: a, b and c."},
        {{"a", "b", "c", "d"}, "Velvetharbor found 4 uploads that did not finish: a, b, c and 1 more."},
        {{"a", "b", "c", "d", "e"}, "Velvetharbor found 5 uploads that did not finish: a, b, c and 2 more."},
    };
    for (const auto& c : cases) EXPECT_EQ(UploadManager::resumeInformativeText(c.names), c.text);
}

}  // namespace
}  // namespace vhbr::test
