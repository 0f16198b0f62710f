// The Uploads list's rows: the words, amounts, speeds and actions a person reads.

#include <gtest/gtest.h>

#include "Platform/RunLoop.hpp"
#include "TempDir.hpp"
#include "TransferRate.hpp"
#include "Upload/SourceBookmark.hpp"
#include "UploadList.hpp"

namespace vhbr::test {
namespace {

using Action = UploadRow::Action;
using Clock = TransferRate::Clock;
using std::chrono::milliseconds;

TEST(UploadListText, AmountsSpeedsAndTimesLeft) {
    const struct {
        std::string shown;
        std::string expected;
    } cases[] = {
        {UploadList::amountText(120'000'000, 1'500'000'000), "120.0 MB of 1.5 GB"},
        {UploadList::amountText(0, 999), "0 bytes of 999 bytes"},
        {UploadList::speedText(std::nullopt), "—"},
        {UploadList::speedText(4'200'000), "4.2 MB/s"},
        {UploadList::speedText(512), "512 bytes/s"},
        {UploadList::timeLeftText(std::nullopt), "—"},
        {UploadList::timeLeftText(0.2), "1 s left"},
        {UploadList::timeLeftText(59), "59 s left"},
        {UploadList::timeLeftText(181), "3 min left"},
        {UploadList::timeLeftText(3 * 3600 + 5 * 60), "3 h 5 min left"},
        {UploadList::timeLeftText(3 * 86400), "—"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.shown, c.expected);
}

TEST(UploadListText, StatesChoicesAndActions) {
    const auto names = [](const std::vector<Action>& actions) {
        std::vector<std::string> out;
        for (const auto a : actions) out.push_back(UploadList::actionName(a));
        return out;
    };
    using S = UploadTaskStatus;
    using V = std::vector<std::string>;
    const struct {
        S status;
        std::string state;
        V actions;  // with the source file known
    } cases[] = {
        {S::queued(), "Waiting to start", {"Pause Upload", "Show in Files", "Cancel Upload"}},
        {S::creatingTask(), "Checking…", {"Pause Upload", "Show in Files", "Cancel Upload"}},
        {S::uploading(), "Uploading", {"Pause Upload", "Show in Files", "Cancel Upload"}},
        {S::finalizing(), "Finishing…", {"Show in Files", "Cancel Upload"}},
        {S::paused(), "Paused", {"Resume Upload", "Show in Files", "Cancel Upload"}},
        {S::waitingForNetwork(std::chrono::seconds(8)), "Waiting for network", {"Pause Upload", "Show in Files", "Cancel Upload"}},
        {S::interrupted(), "Interrupted", {"Resume Upload", "Show in Files", "Remove from List"}},
        {S::failed("The server returned status 500."), "Failed: The server returned status 500.",
         {"Retry Upload", "Show in Files", "Remove from List"}},
        {S::completed("t1"), "Completed", {"Open Task", "Show in Files", "Remove from List"}},
        {S::cancelled(), "Cancelled", {"Show in Files", "Remove from List"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(UploadList::stateText(c.status), c.state);
        EXPECT_EQ(names(UploadList::actionsFor(c.status, true)), c.actions);
        auto withoutSource = c.actions;
        std::erase(withoutSource, "Show in Files");
        EXPECT_EQ(names(UploadList::actionsFor(c.status, false)), withoutSource);
    }
    EXPECT_EQ(UploadList::choicesText({UploadIntent::subtitle, "auto", "en", {}}), "Subtitle · Auto");
    EXPECT_EQ(UploadList::choicesText({UploadIntent::translate, "en", "de", {}}), "Translate · English → German");
}

// Parts arrive in bursts; the speed shown is the mean over the last five seconds, unknown until a
// second of progress has been seen, and it falls while nothing arrives.
TEST(TransferRateTest, SmoothsBurstsOverTheWindow) {
    const Clock::time_point t0{};
    const auto at = [&](int ms) { return t0 + milliseconds(ms); };
    TransferRate rate(std::chrono::seconds(5));
    rate.record(at(0), 0);
    EXPECT_EQ(rate.bytesPerSecond(at(500)), std::nullopt);
    // Six parts of 10 MB land together every three seconds: 20 MB/s on average.
    for (int burst = 1; burst <= 4; ++burst) rate.record(at(burst * 3000), burst * 60'000'000LL);
    ASSERT_TRUE(rate.bytesPerSecond(at(12'000)));
    EXPECT_NEAR(*rate.bytesPerSecond(at(12'000)), 20e6, 1e6);
    EXPECT_NEAR(*rate.bytesPerSecond(at(13'500)), 120e6 / 7.5, 1e6) << "nothing new for 1.5 s";
    rate.record(at(14'000), 10'000'000);  // started again from zero
    EXPECT_EQ(rate.bytesPerSecond(at(14'500)), std::nullopt);
}

// The rows of an upload saved by an earlier run, before anything is resumed.
TEST(UploadListTest, ASavedUploadIsListedAsInterruptedWithItsChoicesAndAmount) {
    TempDir dir;
    RunLoop loop;
    const auto file = writePatternFile(dir / "talk.mp4", 1000);
    UploadState state;
    state.clientRequestId = "saved-1";
    state.media.fileName = "talk.mp4";
    state.media.fileSize = 80 * 1024 * 1024;
    state.media.mimeType = "video/mp4";
    state.intent = UploadIntent::translate;
    state.sourceLanguage = "fr";
    state.targetLanguage = "en";
    state.objectKey = "k";
    state.uploadId = "u";
    state.completedParts = {{"e1", 1}, {"e2", 2}, {"e3", 3}};
    state.sourceBookmark = SourceBookmark::create(file);
    UploadStateStore(dir / "Uploads").save(state);
    BackgroundPartUploader uploader("com.velvetharbor.linux.test.parts");
    UserDefaults defaults(dir / "defaults.json");
    UploadManager::Options options;
    options.partDirectory = dir / "Parts";
    options.lockDirectory = dir / "Locks";
    UploadManager manager(loop, AppConfig{"http://127.0.0.1:9/app", "http://127.0.0.1:9"}, std::nullopt,
                          UploadStateStore(dir / "Uploads"), uploader, defaults, options);
    UploadList list(manager);
    ASSERT_FALSE(list.empty());
    const auto rows = list.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].fileName, "talk.mp4");
    EXPECT_EQ(rows[0].state, "Interrupted");
    EXPECT_EQ(rows[0].choices, "Translate · French → English");
    EXPECT_EQ(rows[0].amount, "31.5 MB of 83.9 MB");
    EXPECT_EQ(rows[0].speed, "");
    EXPECT_EQ(rows[0].actions, (std::vector<Action>{Action::resume, Action::showInFiles, Action::remove}));
    EXPECT_EQ(list.sourceFile(rows[0].id), file);
    EXPECT_EQ(list.combinedProgress(), std::nullopt) << "nothing is under way";
}

}  // namespace
}  // namespace vhbr::test
