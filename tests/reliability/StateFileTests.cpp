// Bad state files beside an interrupted upload (the state store's own table holds every kind):
// the launch, the CLI's list and the resume go on with the good state, and the bad files stay.

#include <sys/stat.h>

#include <fstream>

#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

TEST_F(ReliabilityTest, BadStateFilesDoNotStopAGoodUploadFromResuming) {
    const auto file = mediaFile("interrupted.mov", 50 * kMiB + 1, 600);
    server.fault({{"route", "complete-multipart-upload"}, {"status", 503}});
    {
        auto manager = makeFastManager(5s);
        manager->start(draftFor(file));
        waitForJobs(*manager);
    }
    server.reset();
    const auto good = UploadStateStore(stateDir()).loadIncompleteStates().at(0).clientRequestId;
    // One of each kind that could stop a launch: undecodable, hanging, huge, and no file at all.
    std::ofstream(stateDir() / "garbage.json") << std::string(4096, '\x9c');
    std::ofstream(stateDir() / "wrong-type.json") << R"({"clientRequestId":7})";
    ASSERT_EQ(::mkfifo((stateDir() / "fifo.json").c_str(), 0600), 0);
    std::ofstream(stateDir() / "sparse.json").close();
    fs::resize_file(stateDir() / "sparse.json", std::uint64_t{4} << 30);
    fs::create_directory(stateDir() / "folder.json");
    auto bad = namesIn(stateDir());
    bad.erase(good + ".json");

    TempDir home;
    fs::create_directories(home / "data" / "Velvetharbor");
    fs::create_directory_symlink(stateDir(), home / "data" / "Velvetharbor" / "Uploads");
    const auto listed = runCli({"list"}, {cliEnvironment(server.baseUrl(), home.path(), "test-token")});
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    EXPECT_EQ(listed.output, good + " interrupted.mov 52428801 6/6\n");

    auto manager = relaunchAndResume(5s);
    ASSERT_EQ(manager->activeUploads().size(), 1u);
    EXPECT_EQ(manager->activeUploads()[0]->status().kind(), UploadTaskStatus::Kind::completed);
    EXPECT_EQ(onlyTaskFor("interrupted.mov")->value("sha256", ""), sha256OfFile(file));
    EXPECT_EQ(namesIn(stateDir()), bad);
}

}  // namespace
}  // namespace vhbr::test
