// Local storage that fails: part files that cannot be written (a file-size limit on the CLI
// process), and a state folder that cannot be written. Each fails with a clear message and leaves
// no part file behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

class DiskFaults : public ::testing::Test {
protected:
    fs::path dataDir() const { return home / "data" / "Velvetharbor"; }
    std::vector<std::pair<std::string, std::string>> environment() const {
        return cliEnvironment(server.baseUrl(), home.path(), "test-token");
    }
    std::vector<fs::path> partFiles() const {
        std::vector<fs::path> files;
        std::error_code error;
        for (fs::recursive_directory_iterator it(dataDir() / "UploadParts", error), end; !error && it != end;
             it.increment(error))
            if (it->is_regular_file()) files.push_back(it->path());
        return files;
    }
    std::size_t stateFileCount() const {
        std::size_t count = 0;
        std::error_code error;
        for (fs::directory_iterator it(dataDir() / "Uploads", error), end; !error && it != end; it.increment(error))
            count += it->path().extension() == ".json";
        return count;
    }

    TempDir home;
    DevServer server;
};

TEST_F(DiskFaults, PartFilesBeyondTheFileSizeLimitFailCleanlyAndResume) {
    const auto file = writePatternFile(home / "large.mov", 50 * kMiB + 5, 700);
    ChildOptions limited{environment()};
    limited.fileSizeLimit = 4 * kMiB;  // far below one 10 MiB part, far above a state file

    const auto run = runCli({"upload", file.string()}, limited);
    EXPECT_EQ(run.signal, 0) << "the limit killed the CLI: " << run.output;
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("Upload failed: Could not write the part file"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("File too large"), std::string::npos) << run.output;
    EXPECT_TRUE(partFiles().empty());
    EXPECT_EQ(stateFileCount(), 1u);

    const auto resumed = runCli({"resume", "--yes"}, {environment()});
    EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(partFiles().empty());
    EXPECT_EQ(stateFileCount(), 0u);
    const auto tasks = server.tasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].value("sha256", ""), sha256OfFile(file));
}

TEST_F(DiskFaults, ALimitThatStopsEveryWriteFailsClearly) {
    const auto file = writePatternFile(home / "clip.mp3", 2 * kMiB, 701);
    ChildOptions limited{environment()};
    limited.fileSizeLimit = 1;  // not even a state file fits
    const auto run = runCli({"upload", file.string()}, limited);
    EXPECT_EQ(run.signal, 0) << run.output;
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("File too large"), std::string::npos) << run.output;
    EXPECT_TRUE(partFiles().empty());
    EXPECT_EQ(stateFileCount(), 0u);
    EXPECT_EQ(server.requestCount("create-task"), 0);
}

TEST_F(DiskFaults, AStateFolderThatIsAFileFailsClearly) {
    const auto file = writePatternFile(home / "clip.mp3", 1 * kMiB, 702);
    fs::create_directories(dataDir());
    std::ofstream(dataDir() / "Uploads") << "not a folder";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"upload", file.string()}, {"resume", "--yes"}, {"list"}}) {
        const auto run = runCli(args, {environment()});
        EXPECT_EQ(run.signal, 0) << args[0] << ": " << run.output;
        EXPECT_EQ(run.exitCode, 1) << args[0] << ": " << run.output;
        EXPECT_NE(run.output.find("Could not create the folder"), std::string::npos) << args[0] << ": " << run.output;
        EXPECT_NE(run.output.find("Not a directory"), std::string::npos) << args[0] << ": " << run.output;
    }
    EXPECT_EQ(server.requestCount("create-task"), 0);
    EXPECT_TRUE(partFiles().empty());
}

// A state folder the CLI cannot write fails the upload on its first save; one that another user
// owns or may write to is refused before anything is read from it (a planted state file would
// upload any file of ours).
TEST_F(DiskFaults, AStateFolderThatIsNotPrivatelyWritableFailsClearly) {
    struct Case {
        const char* name;
        bool foreignOwner;  // needs root to set up
        fs::perms mode;
        std::vector<std::string> expected;
    };
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    const std::vector<Case> cases{
        {"without write permission", false, readOnly, {"Upload failed: Could not save", "Permission denied"}},
        {"owned by another user", true, readOnly | fs::perms::owner_write, {"belongs to another user"}},
        {"writable by everyone", false, fs::perms::all, {"can be changed by other users"}},
    };
    const auto file = writePatternFile(home / "large.mov", 50 * kMiB + 1, 703);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.foreignOwner && ::geteuid() != 0) continue;
        fs::create_directories(dataDir() / "Uploads");
        ChildOptions options{environment()};
        if (::geteuid() == 0) {
            // Root writes anywhere: run the CLI as nobody, owning everything but a foreign state folder.
            for (const auto& entry : fs::recursive_directory_iterator(home.path()))
                ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chown(home.path().c_str(), kNobody, kNobody), 0);
            if (c.foreignOwner) {
                ASSERT_EQ(::chown((dataDir() / "Uploads").c_str(), 0, 0), 0);
            }
            options.user = kNobody;
        }
        fs::permissions(dataDir() / "Uploads", c.mode);
        const auto run = runCli({"upload", file.string()}, options);
        EXPECT_EQ(run.exitCode, 1) << run.output;
        for (const auto& expected : c.expected) EXPECT_NE(run.output.find(expected), std::string::npos) << run.output;
        EXPECT_TRUE(partFiles().empty());
        EXPECT_EQ(server.requestCount("create-task"), 0);
        fs::permissions(dataDir() / "Uploads", fs::perms::owner_all);
    }
}

}  // namespace
}  // namespace vhbr::test
