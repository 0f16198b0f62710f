#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "ShellDownload.hpp"
#include "TempDir.hpp"

namespace vhbr::test {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const fs::path& path, const std::string& content) { std::ofstream(path) << content; }

// The web view's download and the dialogs, recording every call in one list. Closing the save
// dialog answers at once, the hardest case for the state machine.
class Recorder : public DownloadTransfer, public DownloadUI {
public:
    void setDestination(const std::optional<fs::path>& file) override {
        calls.push_back(file ? "destination staged" : "destination none");
        if (file) staged = *file;
    }
    void cancel() override { calls.push_back("cancel transfer"); }
    DownloadProgress progress() const override { return {200, 0.379}; }
    void askDestination(const SaveQuestion& q) override {
        calls.push_back("ask " + q.suggestedName + " in " + q.startFolder.value_or("-").string());
    }
    void cancelDestinationQuestion() override {
        calls.push_back("close dialog");
        download->destinationChosen(std::nullopt);
    }
    void showProgress(const ProgressPanel& panel) override { calls.push_back("panel " + panel.title); }
    void updateProgress(const ProgressDisplay& display) override {
        calls.push_back("progress " + display.text);
    }
    void closeProgress() override { calls.push_back("close panel"); }
    void showAlert(const DownloadAlert& alert) override {
        calls.push_back("alert " + alert.message + (alert.revealOnFirstButton ? " [Show in Files]" : ""));
        lastAlert = alert;
    }

    ShellDownload* download = nullptr;
    std::vector<std::string> calls;
    fs::path staged;
    std::optional<DownloadAlert> lastAlert;
};

struct DownloadCase {
    const char* name;
    const char* events;  // decide, choose:<name>|none, write, finish, fail, cancelled, cancel, tick
    const char* calls;   // separated by "|"; ASK is the question for x.srt in the test's folder
    std::string destinationContent;  // "x.srt" afterwards; "old" is the earlier file, "" none
};
void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }

class ShellDownloadTest : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(ShellDownloadTest, RunsToOneEnd) {
    const auto& c = GetParam();
    TempDir dir;
    writeFile(dir / "old.srt", "old");
    Recorder recorder;
    int ends = 0;
    auto owner = std::make_unique<ShellDownload>(
        recorder, recorder, [&] { ++ends, recorder.calls.push_back("end"); }, dir.path());
    recorder.download = owner.get();
    std::istringstream events(c.events);
    for (std::string event; events >> event;) {
        auto& d = *owner;
        if (event == "decide") d.decideDestination("sub/x.srt");
        if (event.starts_with("choose:")) {
            const auto name = event.substr(7);
            d.destinationChosen(name == "none" ? std::nullopt : std::optional(dir / name));
        }
        if (event == "write") writeFile(recorder.staged, "new");
        if (event == "finish") d.transferFinished();
        if (event == "fail") d.transferFailed(false, "The network connection was lost.");
        if (event == "cancelled") d.transferFailed(true, "cancelled");
        if (event == "cancel") d.cancelDownload();
        if (event == "tick") d.refreshProgress();
    }
    std::vector<std::string> expected;
    std::istringstream calls(c.calls);
    for (std::string call; std::getline(calls, call, '|');)
        expected.push_back(call == "ASK" ? "ask x.srt in " + dir.path().string() : call);
    EXPECT_EQ(recorder.calls, expected);
    EXPECT_EQ(ends, 1);
    const auto destination = dir / (std::string(c.name).starts_with("Replace") ? "old.srt" : "x.srt");
    EXPECT_EQ(fs::exists(destination) ? readFile(destination) : "", c.destinationContent);
    if (recorder.lastAlert && recorder.lastAlert->revealOnFirstButton) {
        EXPECT_EQ(*recorder.lastAlert->revealOnFirstButton, destination)
            << "Show in Files shows the saved file";
    }
    // Nothing staged is left behind, whatever the outcome.
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".velvetharbor-download")) << entry.path();
}

const DownloadCase kDownloads[] = {
    {"SavesToNewName", "decide choose:x.srt tick write finish finish fail",
     "ASK|panel Downloading x.srt|destination staged|progress 37% downloaded|close panel|"
     "alert Download saved [Show in Files]|close panel|end",
     "new"},
    {"ReplacesExistingFile", "decide choose:old.srt write finish",
     "ASK|panel Downloading old.srt|destination staged|close panel|alert Download saved [Show in Files]|"
     "close panel|end",
     "new"},
    {"SaveDialogCancelled", "decide choose:none cancelled finish", "ASK|destination none|close panel|end",
     ""},
    {"CancelTwiceWhileTransferring", "decide choose:x.srt write cancel cancel finish cancelled fail",
     "ASK|panel Downloading x.srt|destination staged|cancel transfer|close panel|end", ""},
    {"CancelWhileAskingForDestination", "decide cancel choose:x.srt cancelled",
     "ASK|close dialog|destination none|close panel|end", ""},
    {"CancelBeforeTheQuestion", "cancel decide cancelled", "cancel transfer|destination none|close panel|end",
     ""},
    {"TransferFails", "decide choose:x.srt write fail finish",
     "ASK|panel Downloading x.srt|destination staged|close panel|alert Download could not be saved|"
     "close panel|end",
     ""},
    {"PlatformCancelsSilently", "decide choose:x.srt cancelled",
     "ASK|panel Downloading x.srt|destination staged|close panel|end", ""},
    {"FolderRefusesStaging", "decide choose:missing/x.srt fail",
     "ASK|destination none|close panel|alert Download could not be saved|close panel|end", ""},
    {"StagedFileMissingAtFinish", "decide choose:x.srt finish",
     "ASK|panel Downloading x.srt|destination staged|close panel|alert Download could not be saved|"
     "close panel|end",
     ""}};
INSTANTIATE_TEST_SUITE_P(Downloads, ShellDownloadTest, ::testing::ValuesIn(kDownloads),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Downloads, ProgressText) {
    EXPECT_EQ(ShellDownload::progressDisplay({0, 0.5}), (ProgressDisplay{true, 0.5, "Downloading…"}));
    EXPECT_EQ(ShellDownload::progressDisplay({-1, 0}), (ProgressDisplay{true, 0, "Downloading…"}));
    EXPECT_EQ(ShellDownload::progressDisplay({1000, 0.379}),
              (ProgressDisplay{false, 0.379, "37% downloaded"}));
    // 0.29 * 100 is 28.999… in binary floating point.
    EXPECT_EQ(ShellDownload::progressDisplay({1000, 0.29}).text, "29% downloaded");
}

// The suggestion comes from a server's header or a page: the dialog proposes one plain name.
TEST(Downloads, ProposedNameIsOnePlainFileName) {
    const std::pair<std::string, std::string> cases[] = {
        {"subtitles.srt", "subtitles.srt"},
        {"task/42/talk.en.vtt", "talk.en.vtt"},
        {"C:\\Users\\a\\b.srt", "b.srt"},
        {"Vortrag – Übersetzung.srt", "Vortrag – Übersetzung.srt"},
        {"", "download"},  // found by the fuzzer: an empty name was proposed
        {"..", "download"},
        {"a/../..", "download"},
        {".bashrc", "bashrc"},
        {"  . hidden.srt ", "hidden.srt"},
        {"a\x1b[31mb\n.srt", "a[31mb.srt"},
        {"photo\u202Egnp.exe", "photognp.exe"},  // no right-to-left override
        {"\xff\xfeok.srt", "ok.srt"},         // not UTF-8
        {std::string(300, 'x') + ".srt", std::string(251, 'x') + ".srt"},
        {std::string(250, 'x') + "\u00e9" + std::string(10, 'y') + ".srt", std::string(250, 'x') + ".srt"},
    };
    for (const auto& [suggestion, proposed] : cases)
        EXPECT_EQ(ShellDownload::proposedFileName(suggestion), proposed) << suggestion;
}

TEST(Downloads, SaveDialogStartsInTheDownloadsFolderOrHome) {
    TempDir home("vhbr-home");
    const fs::path xdg = home / "Téléchargements", plain = home / "Downloads";
    // Which folders exist, the XDG entry, where the dialog starts.
    const std::tuple<bool, bool, std::optional<fs::path>, fs::path> cases[] = {
        {true, true, xdg, xdg},
        {false, true, xdg, plain},
        {false, true, std::nullopt, plain},
        {false, false, xdg, home.path()},
        {false, false, std::nullopt, home.path()}};
    for (const auto& [xdgExists, plainExists, entry, expected] : cases) {
        fs::remove_all(xdg);
        fs::remove_all(plain);
        if (xdgExists) fs::create_directory(xdg);
        if (plainExists) fs::create_directory(plain);
        EXPECT_EQ(ShellDownload::saveStartFolder(entry, home.path()), expected) << xdgExists << plainExists;
    }
}

TEST(Downloads, StagingIsPrivateAndBesideTheDestination) {
    TempDir dir;
    DownloadFile file(dir / "x.srt");
    EXPECT_EQ(file.stagingDirectory().parent_path(), dir.path());
    EXPECT_TRUE(file.stagingDirectory().filename().string().starts_with("."));
    struct stat info {};
    ASSERT_EQ(::stat(file.stagingDirectory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    file.cleanup();
    EXPECT_FALSE(fs::exists(file.stagingDirectory()));
}

// The owner drops the download inside onEnd, here from within the dialog's answer to a cancel.
TEST(Downloads, OwnerMayDestroyItOnEnd) {
    Recorder recorder;
    std::unique_ptr<ShellDownload> owner;
    owner = std::make_unique<ShellDownload>(
        recorder, recorder, [&] { owner.reset(); }, std::nullopt);
    recorder.download = owner.get();
    owner->decideDestination("x.srt");
    owner->cancelDownload();
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(recorder.calls.back(), "close panel");
}

}  // namespace
}  // namespace vhbr::test
