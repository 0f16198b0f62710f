#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ChildProcess.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Update/TarballInstaller.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;

struct ArchiveCase {
    const char* name;
    // tar's arguments, run in a folder holding "pkg" (a valid tree), the file "outside" and the
    // link "escape" (to "../../.."); none: the file is not an archive.
    std::vector<std::string> tarArgs;
    const char* reason;  // a part of the message the user reads
    const char* version = "2.0";
};
void PrintTo(const ArchiveCase& c, std::ostream* os) { *os << c.name; }

class UnsafeArchiveTest : public ::testing::TestWithParam<ArchiveCase> {};

// Whatever the archive holds, nothing lands outside the new version's folder, and a refused
// update leaves the running version and its link as they were.
TEST_P(UnsafeArchiveTest, IsRefusedWithoutTouchingTheInstall) {
    const auto& c = GetParam();
    test::TempDir dir;
    const fs::path work = dir / "work", root = dir / "install";
    fs::create_directories(work / "pkg" / "share" / "velvetharbor");
    std::ofstream(work / "pkg" / "share" / "velvetharbor" / "Info.json") << "{}";
    std::ofstream(work / "outside") << "x";
    fs::create_directory_symlink("../../..", work / "escape");
    fs::create_directories(root / "versions" / "1.0");
    fs::create_directory_symlink("versions/1.0", root / "current");
    if (c.tarArgs.empty()) {
        std::ofstream(work / "a.tar") << "not an archive at all";
    } else {
        // -f is relative to tar's own folder, the files after -C to work.
        std::vector<std::string> args{"-C", work.string()};
        for (const auto& a : c.tarArgs) args.push_back(a == "a.tar" ? (work / "a.tar").string() : a);
        test::ChildProcess tar("/bin/tar", args, {}, dir.path());
        ASSERT_EQ(tar.wait(), 0) << tar.err();
    }

    try {
        TarballInstaller(root).install(work / "a.tar", c.version);
        ADD_FAILURE() << "installed";
    } catch (const AppError& e) {
        EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
    EXPECT_EQ(fs::read_symlink(root / "current"), fs::path("versions/1.0"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "versions"), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(dir / "evil"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsafeArchiveTest,
    ::testing::Values(
        ArchiveCase{"dot_dot_entry",
                    {"-P", "--transform", "s,^outside,pkg/../../../evil,", "-cf", "a.tar", "pkg", "outside"},
                    "damaged"},
        ArchiveCase{"absolute_entry",
                    {"-P", "--transform", "s,^outside,/tmp/vhbr-evil,", "-cf", "a.tar", "outside"},
                    "damaged"},
        ArchiveCase{"link_out_of_the_tree",
                    {"--transform", "s,^escape,pkg/escape,", "-cf", "a.tar", "pkg", "escape"},
                    "damaged"},
        ArchiveCase{"no_program_inside", {"-cf", "a.tar", "outside"}, "does not contain Velvetharbor"},
        ArchiveCase{"not_an_archive", {}, "damaged"},
        ArchiveCase{"version_that_names_a_path", {"-cf", "a.tar", "pkg"}, "is not valid", "../1.0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vhbr
