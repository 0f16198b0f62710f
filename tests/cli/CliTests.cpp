#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "ChildProcess.hpp"
#include "CommandTokenProvider.hpp"
#include "DevServer.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/FilePartWriter.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr::test {
namespace {

using namespace std::chrono_literals;
constexpr std::uint64_t kMiB = 1024 * 1024;

class CliTest : public ::testing::Test {
public:
    std::map<std::string, std::string> env(bool withToken = true) {
        std::map<std::string, std::string> e{{"XDG_DATA_HOME", (dir / "data").string()},
                                             {"XDG_CONFIG_HOME", (dir / "config").string()},
                                             {"VHBR_API_URL", server.baseUrl()},
                                             {"VHBR_WEB_URL", server.baseUrl() + "/app"},
                                             {"VHBR_TOKEN", withToken ? "test-token" : ""}};
        return e;
    }

    std::unique_ptr<ChildProcess> cli(const std::vector<std::string>& args, bool withToken = true) {
        return std::make_unique<ChildProcess>(std::filesystem::path(VHBR_BIN_DIR) / "velvetharbor-cli", args,
                                              env(withToken), dir.path());
    }

    std::filesystem::path stateDir() { return dir / "data" / "Velvetharbor" / "Uploads"; }
    std::filesystem::path partDir() { return dir / "data" / "Velvetharbor" / "UploadParts"; }

    static std::size_t partFilesOnDisk(const std::filesystem::path& root) {
        std::size_t n = 0;
        if (!std::filesystem::exists(root)) return 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) n += e.is_regular_file();
        return n;
    }

    std::vector<UploadState> states() { return UploadStateStore(stateDir()).loadIncompleteStates(); }

    std::string lastLine(const std::string& text) {
        auto end = text.find_last_not_of('\n');
        if (end == std::string::npos) return "";
        auto start = text.rfind('\n', end);
        return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
    }

    std::string storedSha(const std::string& taskId) {
        for (const auto& task : server.tasks())
            if (task["id"] == taskId) return task.value("sha256", "");
        return "";
    }

    bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    TempDir dir;
    DevServer server;
};

TEST_F(CliTest, UploadPrintsCompletedTaskLastAndExitsZero) {
    auto file = writePatternFile(dir / "talk.mp3", 3 * kMiB);
    auto run = cli({"upload", file.string(), "--intent", "translate", "--target", "de", "--verbose"});
    ASSERT_EQ(run->wait(), 0) << run->err();
    const std::string last = lastLine(run->out());
    ASSERT_TRUE(last.starts_with("completed ")) << run->out();
    const std::string taskId = last.substr(10);
    EXPECT_EQ(storedSha(taskId), sha256OfFile(file));
    EXPECT_TRUE(states().empty());
    // --verbose: the engine's log on stderr, without the token.
    EXPECT_NE(run->err().find("velvetharbor[info]: Upload of talk.mp3 completed as task " + taskId), std::string::npos)
        << run->err();
    EXPECT_EQ(run->err().find("test-token"), std::string::npos);
}

TEST_F(CliTest, ValidationAndUploadFailuresAreReportedAndFailTheRun) {
    auto good = writePatternFile(dir / "good.wav", 1000);
    auto run = cli({"upload", good.string(), (dir / "notes.txt").string()});
    EXPECT_EQ(run->wait(), 1);
    EXPECT_NE(run->err().find("Cannot start upload: Velvetharbor accepts MKV, MP4"), std::string::npos) << run->err();
    EXPECT_TRUE(lastLine(run->out()).starts_with("completed ")) << run->out();

    auto unsigned_ = cli({"upload", writePatternFile(dir / "nobody.mkv", 2000).string()}, /*withToken=*/false);
    EXPECT_EQ(unsigned_->wait(), 1);
    EXPECT_NE(unsigned_->err().find("Upload failed: Sign in before starting a native upload."), std::string::npos);

    auto list = cli({"list"});
    ASSERT_EQ(list->wait(), 0);
    const auto s = states().at(0);
    EXPECT_EQ(list->out(), s.clientRequestId + " nobody.mkv 2000 0/1\n");
}

TEST_F(CliTest, BadCommandLinesExitTwoWithUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"fly"}, {"upload"}, {"upload", "a.mp4", "--intent", "dub"}, {"list", "x"}}) {
        auto run = cli(args);
        EXPECT_EQ(run->wait(), 2);
        EXPECT_NE(run->err().find("usage:"), std::string::npos);
    }
}

TEST_F(CliTest, ResumeWithNothingToResume) {
    auto run = cli({"resume", "--yes"});
    EXPECT_EQ(run->wait(), 0);
    EXPECT_EQ(run->out(), "Nothing to resume.\n");
}

TEST_F(CliTest, ASecondProcessCannotRunTheSameUpload) {
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 1500}});
    auto file = writePatternFile(dir / "shared.mp4", 1000);
    auto first = cli({"upload", file.string()});
    ASSERT_TRUE(eventually([&] { return server.requestCount("create-task") == 1; }));
    auto second = cli({"upload", file.string()});
    EXPECT_EQ(second->wait(), 1);
    EXPECT_NE(second->err().find("Upload failed: This file is already being uploaded by another Velvetharbor process."),
              std::string::npos)
        << second->err();
    EXPECT_EQ(first->wait(), 0) << first->err();
    EXPECT_EQ(server.requestCount("create-task"), 1);
}

// The token command starts like from a fresh shell: nothing blocked, nothing ignored (the CLI
// blocks its stop signals and ignores SIGPIPE, which a child would otherwise inherit). Its mask
// and ignored standard signals are its token, which the service knows only as all zeros.
TEST(CliTokenCommand, StartsWithAnEmptySignalMaskAndDefaultDispositions) {
    TempDir dir;
    DevServerOptions options;
    options.tokens = {std::string(23, '0')};
    DevServer server(options);
    const auto file = writePatternFile(dir / "talk.mp3", 1000);
    ChildProcess run(std::filesystem::path(VHBR_BIN_DIR) / "velvetharbor-cli",
                     {"upload", file.string(), "--token-command",
                      // Signals 1 to 28 of the ignored set: above them are the C library's own.
                      "awk '/^SigBlk/ { b = $2 } /^SigIgn/ { i = substr($2, 10) } END { print b i }' /proc/self/status"},
                     {{"XDG_DATA_HOME", (dir / "data").string()},
                      {"XDG_CONFIG_HOME", (dir / "config").string()},
                      {"VHBR_API_URL", server.baseUrl()},
                      {"VHBR_WEB_URL", server.baseUrl() + "/app"},
                      {"VHBR_TOKEN", ""}},
                     dir.path());
    EXPECT_EQ(run.wait(), 0) << run.err();
}

// A token command that hangs is killed with everything it started once its time is up.
TEST(CliTokenCommand, AHangingCommandIsKilledAfterItsTimeOut) {
    TempDir dir;
    const auto pidFile = dir / "sleeper.pid";
    cli::CommandTokenProvider provider(std::nullopt, "sleep 30 & echo $! > '" + pidFile.string() + "'; wait",
                                       std::chrono::milliseconds(2000));
    const auto started = std::chrono::steady_clock::now();
    try {
        provider.idToken().get();
        ADD_FAILURE() << "a token arrived";
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "The token command did not finish in time.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    int sleeper = 0;
    std::ifstream(pidFile) >> sleeper;
    ASSERT_GT(sleeper, 0);
    // The kill is delivered asynchronously: give the sleeper a moment to die.
    const auto alive = [&] {
        std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
        std::string pid, name, state;
        stat >> pid >> name >> state;
        return !state.empty() && state != "Z";  // gone, or dead and not yet reaped by init
    };
    for (int i = 0; i < 100 && alive(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(alive());
}

struct KillCase {
    const char* name;
    int sig;
    // Arms faults that hold the upload at the point to interrupt, and says when it is there.
    std::function<void(DevServer&)> arm;
    std::function<bool(CliTest&, DevServer&)> reached;
    std::uint64_t size = 120 * kMiB;
    // What the service must have finished on its own before the resume (a request the kill cut off).
    std::function<bool(DevServer&)> settled = [](DevServer&) { return true; };
};

// The first task on the service, or an empty object.
nlohmann::json firstTask(DevServer& s) {
    const auto tasks = s.tasks();
    return tasks.empty() ? nlohmann::json::object() : tasks[0];
}

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

class CliInterruptTest : public CliTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(CliInterruptTest, ResumeCompletesWithoutResendingAcknowledgedParts) {
    auto file = writePatternFile(dir / "lecture.mkv", GetParam().size, 3);
    GetParam().arm(server);
    auto run = cli({"upload", file.string()});
    ASSERT_TRUE(eventually([&] { return GetParam().reached(*this, server); })) << run->err();
    run->signal(GetParam().sig);
    const int status = run->wait();
    EXPECT_EQ(status, 128 + GetParam().sig);
    if (GetParam().sig != SIGKILL) {
        EXPECT_EQ(partFilesOnDisk(partDir()), 0u) << "a quit leaves no part file";
    }
    ASSERT_TRUE(eventually([&] { return GetParam().settled(server); }));

    auto saved = states();
    ASSERT_EQ(saved.size(), 1u);
    server.reset();
    auto resume = cli({"resume", "--yes"});
    ASSERT_EQ(resume->wait(), 0) << resume->err();
    const std::string last = lastLine(resume->out());
    ASSERT_TRUE(last.starts_with("completed ")) << resume->out();
    EXPECT_EQ(storedSha(last.substr(10)), sha256OfFile(file));
    for (const auto& part : saved[0].completedParts)
        EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 0) << part.partNumber;
    EXPECT_TRUE(states().empty());
    EXPECT_EQ(partFilesOnDisk(partDir()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Points, CliInterruptTest,
    ::testing::Values(
        KillCase{"KilledWhileWritingParts", SIGKILL, [](DevServer&) {},
                 [](CliTest& t, DevServer&) { return CliTest::partFilesOnDisk(t.partDir()) > 0; }},
        KillCase{"KilledMidParts", SIGKILL,
                 [](DevServer& s) { s.fault({{"route", "part-put"}, {"times", 8}, {"delayMs", 4000}, {"partNumber", 9}}); },
                 [](CliTest&, DevServer& s) { return s.requestCount("part-put") >= 8 && s.partPutCount(9) == 1; }},
        KillCase{"KilledBeforeComplete", SIGKILL,
                 [](DevServer& s) { s.fault({{"route", "complete-multipart-upload"}, {"times", 1}, {"delayMs", 4000}}); },
                 [](CliTest&, DevServer& s) { return s.requestCount("complete-multipart-upload") == 1; }},
        KillCase{"KilledAfterTheStorageAssembled", SIGKILL,
                 [](DevServer& s) { s.fault({{"route", "complete-multipart-upload"}, {"times", 1}, {"delayMs", 1500}}); },
                 [](CliTest&, DevServer& s) { return s.requestCount("complete-multipart-upload") == 1; }, 120 * kMiB,
                 [](DevServer& s) { return firstTask(s).contains("sha256"); }},
        KillCase{"KilledDuringTheCompletionNotice", SIGKILL,
                 [](DevServer& s) { s.fault({{"route", "upload-complete"}, {"times", 1}, {"delayMs", 1500}}); },
                 [](CliTest&, DevServer& s) { return s.requestCount("upload-complete") == 1; }, 3 * kMiB,
                 [](DevServer& s) { return firstTask(s).value("uploadComplete", false); }},
        KillCase{"InterruptedWithCtrlC", SIGINT,
                 [](DevServer& s) { s.fault({{"route", "part-put"}, {"times", 8}, {"delayMs", 4000}, {"partNumber", 9}}); },
                 [](CliTest&, DevServer& s) { return s.requestCount("part-put") >= 8 && s.partPutCount(9) == 1; }},
        KillCase{"HungUp", SIGHUP,
                 [](DevServer& s) { s.fault({{"route", "part-put"}, {"times", 8}, {"delayMs", 4000}, {"partNumber", 9}}); },
                 [](CliTest&, DevServer& s) { return s.requestCount("part-put") >= 8 && s.partPutCount(9) == 1; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vhbr::test
