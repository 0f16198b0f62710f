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
    const char* version = "2.0";
};

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
        std::vector<std::string> args{"-C", work.string()};
        args.insert(args.end(), c.tarArgs.begin(), c.tarArgs.end());
        test::ChildProcess tar("/bin/tar", args, {}, dir.path());
        ASSERT_EQ(tar.wait(), 0) << tar.err();
    }

    EXPECT_THROW(TarballInstaller(root).install(work / "a.tar", c.version), AppError);
    EXPECT_EQ(fs::read_symlink(root / "current"), fs::path("versions/1.0"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "versions"), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(dir / "evil"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsafeArchiveTest,
    ::testing::Values(
        ArchiveCase{"dot_dot_entry",
                    {"-P", "--transform", "s,^outside,pkg/../../../evil,", "-cf", "a.tar", "pkg", "outside"}},
        ArchiveCase{"absolute_entry",
                    {"-P", "--transform", "s,^outside,/tmp/vhbr-evil,", "-cf", "a.tar", "outside"}},
        ArchiveCase{"link_out_of_the_tree",
                    {"--transform", "s,^escape,pkg/escape,", "-cf", "a.tar", "pkg", "escape"}},
        ArchiveCase{"no_program_inside", {"-cf", "a.tar", "outside"}}, ArchiveCase{"not_an_archive", {}},
        ArchiveCase{"version_that_names_a_path", {"-cf", "a.tar", "pkg"}, "../1.0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vhbr
