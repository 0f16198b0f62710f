// Local storage: a file-size limit on the CLI process that no part file can meet (there are none),
// and a state folder that cannot be written or is not ours alone, which fails with a clear message.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

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
    // Regular files under a folder of the data folder (states, parts, or a temporary left behind).
    std::size_t filesIn(const char* folder) const {
        std::size_t count = 0;
        std::error_code error;
        for (fs::recursive_directory_iterator it(dataDir() / folder, error), end; !error && it != end;
             it.increment(error))
            count += it->is_regular_file();
        return count;
    }

    TempDir home;
    DevServer server;
};

// Parts are read from the source as they are sent: a file-size limit far below one part stops
// nothing, since no part is ever written to disk.
TEST_F(DiskFaults, AMultipartUploadWritesNoPartSoAFileSizeLimitBelowAPartStopsNothing) {
    const auto file = writePatternFile(home / "large.mov", 50 * kMiB + 5, 700);
    ChildOptions limited{environment()};
    limited.fileSizeLimit = 4 * kMiB;  // far below one 10 MiB part, far above a state file

    const auto run = runCli({"upload", file.string()}, limited);
    EXPECT_EQ(run.signal, 0) << "the limit killed the CLI: " << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(filesIn("UploadParts"), 0u);
    EXPECT_EQ(filesIn("Uploads"), 0u);
    const auto tasks = server.tasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].value("sha256", ""), sha256OfFile(file));
}

// A state folder that cannot be written, or that another user owns or may write to, fails the
// command before any request: an upload on its first save, and a folder of someone else's is
// refused before anything is read from it (a planted state file would upload any file of ours).
TEST_F(DiskFaults, AStateFolderThatIsNotPrivatelyWritableFailsBeforeAnyRequest) {
    struct Case {
        const char* name;
        std::vector<std::string> args;  // the upload when empty
        std::optional<fs::perms> mode;  // none: the folder is a file
        const char* expected;           // a pattern of the output
        bool foreignOwner = false;      // needs root to set up
        std::optional<rlim_t> fileSizeLimit = {};
    };
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    const char* notAFolder = "Could not create the folder .*: Not a directory";
    const std::vector<Case> cases{
        {"a limit that stops every write", {}, fs::perms::owner_all, "File too large", false, 1},
        {"a file, for an upload", {}, {}, notAFolder},
        {"a file, for a resume", {"resume", "--yes"}, {}, notAFolder},
        {"a file, for the list", {"list"}, {}, notAFolder},
        {"without write permission", {}, readOnly, "Upload failed: Could not save .*: Permission denied"},
        {"owned by another user", {}, readOnly | fs::perms::owner_write, "belongs to another user", true},
        {"writable by its group",
         {},
         fs::perms::owner_all | fs::perms::group_all,
         "can be changed by other users"},
        {"writable by everyone",
         {},
         fs::perms::owner_all | fs::perms::others_all,
         "can be changed by other users"},
    };
    const auto file = writePatternFile(home / "clip.mp3", 1 * kMiB, 703);
    const auto uploads = dataDir() / "Uploads";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.foreignOwner && ::geteuid() != 0) continue;
        std::error_code ignored;
        fs::permissions(uploads, fs::perms::owner_all, ignored);
        fs::remove_all(uploads);
        fs::create_directories(dataDir());
        if (c.mode)
            fs::create_directory(uploads);
        else
            std::ofstream(uploads) << "not a folder";
        ChildOptions options{environment()};
        options.fileSizeLimit = c.fileSizeLimit;
        if (::geteuid() == 0) {
            // Root writes anywhere: run the CLI as nobody, owning everything but a foreign state folder.
            for (const auto& entry : fs::recursive_directory_iterator(home.path()))
                ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(::chown(home.path().c_str(), kNobody, kNobody), 0);
            if (c.foreignOwner) {
                ASSERT_EQ(::chown(uploads.c_str(), 0, 0), 0);
            }
            options.user = kNobody;
        }
        if (c.mode) fs::permissions(uploads, *c.mode);
        const auto run =
            runCli(c.args.empty() ? std::vector<std::string>{"upload", file.string()} : c.args, options);
        EXPECT_EQ(run.signal, 0) << run.output;
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_TRUE(std::regex_search(run.output, std::regex(c.expected))) << run.output;
        EXPECT_EQ(filesIn("UploadParts"), 0u);
        EXPECT_EQ(filesIn("Uploads"), 0u);
        EXPECT_EQ(server.requestCount("create-task"), 0);
    }
}

}  // namespace
}  // namespace vhbr::test
