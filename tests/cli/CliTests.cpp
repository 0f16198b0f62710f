// What is the CLI's own: its command line, exit codes and output lines, the token command, the
// lock across processes and its signal handling. The upload engine itself is driven in tests/upload.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "ChildProcess.hpp"
#include "CommandTokenProvider.hpp"
#include "DevServer.hpp"
#include "ProgressReporter.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = 1024 * 1024;

// The service knows "test-token" and, for the token command's test, a token of 23 zeros.
DevServerOptions twoTokens() {
    DevServerOptions options;
    options.tokens = {"test-token", std::string(23, '0')};
    return options;
}

class CliTest : public ::testing::Test {
public:
    std::unique_ptr<ChildProcess> cli(const std::vector<std::string>& args, bool withToken = true) {
        return std::make_unique<ChildProcess>(
            fs::path(VHBR_BIN_DIR) / "velvetharbor-cli", args,
            std::map<std::string, std::string>{{"XDG_DATA_HOME", (dir / "data").string()},
                                               {"XDG_CONFIG_HOME", (dir / "config").string()},
                                               {"VHBR_API_URL", server.baseUrl()},
                                               {"VHBR_WEB_URL", server.baseUrl() + "/app"},
                                               {"VHBR_TOKEN", withToken ? "test-token" : ""}},
            dir.path());
    }

    std::vector<UploadState> states() {
        return UploadStateStore(dir / "data" / "Velvetharbor" / "Uploads").loadIncompleteStates();
    }

    // The task id of the run's last output line "completed <id>", or "" (a failure) unless that
    // task holds the file's bytes.
    std::string completedTask(const std::string& out, const fs::path& file) {
        std::string text = out;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        const std::string last = text.substr(text.rfind('\n') + 1);  // npos + 1 is 0
        for (const auto& task : server.tasks())
            if ("completed " + task["id"].get<std::string>() == last &&
                task.value("sha256", "") == sha256OfFile(file))
                return last.substr(10);
        ADD_FAILURE() << "no completed task holding " << file << " in: " << out;
        return "";
    }

    bool eventually(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    TempDir dir;
    DevServer server{twoTokens()};
};

// A run with a file it refuses uploads the others, prints the task of each last, and fails; with
// --verbose the engine's log goes to stderr, without the token. A failed upload stays listed.
TEST_F(CliTest, UploadsReportEachFileAndFailTheRunOnAnyFailure) {
    auto good = writePatternFile(dir / "talk.mp3", 3 * kMiB);
    auto run = cli({"upload", good.string(), (dir / "notes.txt").string(), "--intent", "translate",
                    "--target", "de", "--verbose"});
    EXPECT_EQ(run->wait(), 1);
    EXPECT_NE(run->err().find("Cannot start upload: Velvetharbor accepts MKV, MP4"), std::string::npos)
        << run->err();
    const std::string taskId = completedTask(run->out(), good);
    EXPECT_NE(run->err().find("velvetharbor[info]: Upload of talk.mp3 completed as task " + taskId),
              std::string::npos)
        << run->err();
    EXPECT_EQ(run->err().find("test-token"), std::string::npos);

    auto unsigned_ = cli({"upload", writePatternFile(dir / "nobody.mkv", 2000).string()}, false);
    EXPECT_EQ(unsigned_->wait(), 1);
    EXPECT_NE(unsigned_->err().find("Upload failed: Sign in before starting a native upload."),
              std::string::npos);

    auto list = cli({"list"});
    ASSERT_EQ(list->wait(), 0);
    EXPECT_EQ(list->out(), states().at(0).clientRequestId + " nobody.mkv 2000 0/1\n");
}

TEST_F(CliTest, CommandLinesThatDoNoUpload) {
    const std::vector<std::string> bad[] = {
        {}, {"fly"}, {"upload"}, {"upload", "a.mp4", "--intent", "dub"}, {"list", "x"},
        {"upload", "a.mp4", "--limit-rate", "0"}, {"upload", "a.mp4", "--limit-rate", "fast"},
        {"resume", "--limit-rate", "-5M"}, {"list", "--limit-rate", "1M"},
        {"upload", "a.mp4", "--network-wait", "soon"}};
    for (const auto& args : bad) {
        auto run = cli(args);
        EXPECT_EQ(run->wait(), 2);
        EXPECT_NE(run->err().find("usage:"), std::string::npos);
    }
    auto zero = cli({"upload", "a.mp4", "--limit-rate", "0"});
    zero->wait();
    EXPECT_NE(zero->err().find("velvetharbor-cli: “0” is not a speed limit: give bytes per second above 0, "
                               "such as 500K or 20M."),
              std::string::npos)
        << zero->err();
    auto resume = cli({"resume", "--yes"});
    EXPECT_EQ(resume->wait(), 0);
    EXPECT_EQ(resume->out(), "Nothing to resume.\n");
}

// With the service out of reach the CLI waits for the network, saying when it tries next, and gives
// up after its --network-wait, saying how long it waited; the upload stays for `resume`.
TEST_F(CliTest, WithTheServiceOutOfReachAnUploadGivesUpAfterItsNetworkWait) {
    const auto file = writePatternFile(dir / "far.mp4", 1000);
    ChildProcess run(fs::path(VHBR_BIN_DIR) / "velvetharbor-cli", {"upload", file.string(), "--network-wait", "2"},
                     {{"XDG_DATA_HOME", (dir / "data").string()},
                      {"XDG_CONFIG_HOME", (dir / "config").string()},
                      {"VHBR_API_URL", "http://127.0.0.1:9"},  // nothing listens there
                      {"VHBR_WEB_URL", "http://127.0.0.1:9/app"},
                      {"VHBR_TOKEN", "test-token"}},
                     dir.path());
    EXPECT_EQ(run.wait(), 1);
    EXPECT_NE(run.out().find("far.mp4  0%  waiting for network, next try in 1 s"), std::string::npos) << run.out();
    EXPECT_NE(run.err().find("Upload failed: Gave up after waiting 2 s for the network: Could not connect to the "
                             "server."),
              std::string::npos)
        << run.err();
    EXPECT_EQ(states().size(), 1u);
}

TEST_F(CliTest, ASecondProcessCannotRunTheSameUpload) {
    server.fault({{"route", "upload-session"}, {"times", 1}, {"delayMs", 1500}});
    auto file = writePatternFile(dir / "shared.mp4", 1000);
    auto first = cli({"upload", file.string()});
    ASSERT_TRUE(eventually([&] { return server.requestCount("create-task") == 1; }));
    auto second = cli({"upload", file.string()});
    EXPECT_EQ(second->wait(), 1);
    EXPECT_NE(second->err().find(
                  "Upload failed: This file is already being uploaded by another Velvetharbor process."),
              std::string::npos)
        << second->err();
    EXPECT_EQ(first->wait(), 0) << first->err();
    EXPECT_EQ(server.requestCount("create-task"), 1);
}

// The token command starts like from a fresh shell: nothing blocked, nothing ignored (the CLI
// blocks its stop signals and ignores SIGPIPE, which a child would otherwise inherit). Its mask
// and ignored standard signals are its token, which the service knows only as all zeros.
TEST_F(CliTest, TokenCommandStartsWithAnEmptySignalMaskAndDefaultDispositions) {
    const auto file = writePatternFile(dir / "talk.mp3", 1000);
    // Signals 1 to 28 of the ignored set: above them are the C library's own.
    auto run = cli({"upload", file.string(), "--token-command",
                    "awk '/^SigBlk/ { b = $2 } /^SigIgn/ { i = substr($2, 10) } END { print b i }' "
                    "/proc/self/status"},
                   false);
    EXPECT_EQ(run->wait(), 0) << run->err();
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

// A plain progress line shows the whole percent people expect: 0.29 is stored as 0.28999…, and
// the line must still read 29%, never one percent too little.
TEST(CliProgress, LinesShowTheRoundedDownPercentWithoutLosingOne) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    auto model = std::make_shared<UploadTaskModel>("mac-1", "talk.mp3", 1000);
    cli::ProgressReporter reporter(out, out, false);
    reporter.track(model);
    model->setProgress(0.29);
    model->setProgress(0.5799);
    std::rewind(out);
    std::string printed;
    for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
    std::fclose(out);
    EXPECT_EQ(printed, "talk.mp3  0%  queued\ntalk.mp3  29%  queued\ntalk.mp3  57%  queued\n");
}

// A kill while the first parts are sent (nothing acknowledged may be lost), and the signals that
// end a terminal session (a clean stop: the saved state stays).
struct KillCase {
    const char* name;
    int sig;
    bool whileSending;  // the first parts; else: once eight parts are in and part 9 is held by the service
};
void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

class CliInterruptTest : public CliTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(CliInterruptTest, ResumeCompletesWithoutResendingAcknowledgedParts) {
    const auto& c = GetParam();
    auto file = writePatternFile(dir / "lecture.mkv", 120 * kMiB, 3);
    if (!c.whileSending)
        server.fault({{"route", "part-put"}, {"times", 8}, {"delayMs", 4000}, {"partNumber", 9}});
    auto run = cli({"upload", file.string()});
    ASSERT_TRUE(eventually([&] {
        return c.whileSending ? server.requestCount("part-put") > 0
                              : server.requestCount("part-put") >= 8 && server.partPutCount(9) == 1;
    })) << run->err();
    run->signal(c.sig);
    EXPECT_EQ(run->wait(), 128 + c.sig);

    auto saved = states();
    ASSERT_EQ(saved.size(), 1u);
    // The ninth part goes out only once three of the first six (all in flight at once) were answered, and
    // each answered part is saved at once, whatever way the run ends.
    if (!c.whileSending) {
        EXPECT_GE(saved[0].completedParts.size(), 3u);
    }
    server.reset();
    auto resume = cli({"resume", "--yes"});
    ASSERT_EQ(resume->wait(), 0) << resume->err();
    completedTask(resume->out(), file);
    for (const auto& part : saved[0].completedParts)
        EXPECT_EQ(server.partPutCount(static_cast<int>(part.partNumber)), 0) << part.partNumber;
    EXPECT_TRUE(states().empty());
}

INSTANTIATE_TEST_SUITE_P(Points, CliInterruptTest,
                         ::testing::Values(KillCase{"KilledWhileSendingParts", SIGKILL, true},
                                           KillCase{"InterruptedWithCtrlC", SIGINT, false},
                                           KillCase{"HungUp", SIGHUP, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vhbr::test
