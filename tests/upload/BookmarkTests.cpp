#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/SourceBookmark.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void setMtime(const fs::path& path, timespec mtime) {
    const timespec times[2] = {mtime, mtime};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string resolveError(std::string_view bookmark) {
    try {
        return "resolved to " + SourceBookmark::resolve(bookmark).string();
    } catch (const AppError& e) {
        return e.message();
    }
}

class SourceBookmarkTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(file, "original content");
        setMtime(file, {1'700'000'000, 123'456'789});
        bookmark = SourceBookmark::create(file);
    }

    test::TempDir dir;
    fs::path file = dir / "talk.mp4";
    std::string bookmark;
};

TEST_F(SourceBookmarkTest, ResolvesWhileTheFileIsThereAndNamesItWhenGone) {
    EXPECT_EQ(resolveError(bookmark), "resolved to " + file.string());
    fs::rename(file, dir / "elsewhere.mp4");
    const std::string gone =
        "The original file “talk.mp4” could not be found. It may have been moved or deleted.";
    EXPECT_EQ(resolveError(bookmark), gone);
    fs::remove(dir / "elsewhere.mp4");
    EXPECT_EQ(resolveError(bookmark), gone);
    EXPECT_THROW(SourceBookmark::create(dir / "missing.mp4"), FileSystemError);
}

TEST_F(SourceBookmarkTest, AnyChangeOfIdentitySizeOrTimeIsReported) {
    const timespec original{1'700'000'000, 123'456'789};  // as set up
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"replaced by another inode of the same size and time",
         [&] {
             writeFile(dir / "new.mp4", "replaced content");
             setMtime(dir / "new.mp4", original);
             fs::rename(dir / "new.mp4", file);
         }},
        {"resized, same time",
         [&] {
             fs::resize_file(file, 3);
             setMtime(file, original);
         }},
        {"touched",
         [&] {
             setMtime(file, {original.tv_sec, original.tv_nsec + 1});
         }},
        {"replaced by a folder",
         [&] {
             fs::remove(file);
             fs::create_directory(file);
         }},
    };
    for (const auto& [what, change] : cases) {
        SetUp();
        change();
        EXPECT_EQ(
            resolveError(bookmark),
            "The original file “talk.mp4” has changed since the upload started. Start this upload again.")
            << what;
        fs::remove_all(file);
    }
}

TEST_F(SourceBookmarkTest, DamagedBookmarksAreRejected) {
    const std::string damaged =
        "The saved reference to the original file is damaged. Start this upload again.";
    for (std::string_view bad :
         {std::string_view(""), std::string_view("not json"), std::string_view("{}"),
          std::string_view(bookmark).substr(0, bookmark.size() / 2),
          std::string_view(
              R"({"path":"dGFsaw==","device":1,"inode":1,"size":1,"mtimeSeconds":1,"mtimeNanoseconds":1})"),
          // Numbers that no field can hold (the first was found by fuzzing: converting it was undefined).
          std::string_view(
              R"({"path":"L3Q=","device":1,"inode":1e46,"size":1,"mtimeSeconds":1,"mtimeNanoseconds":1})"),
          std::string_view(
              R"({"path":"L3Q=","device":-1,"inode":1,"size":1,"mtimeSeconds":1,"mtimeNanoseconds":1})"),
          std::string_view(
              R"({"path":"L3Q=","device":1,"inode":1,"size":9223372036854775808,"mtimeSeconds":1,"mtimeNanoseconds":1})"),
          std::string_view(
              R"({"path":"L3Q=","device":1,"inode":1,"size":1.5,"mtimeSeconds":1,"mtimeNanoseconds":1})")})
        EXPECT_EQ(resolveError(bad), damaged) << bad;
}

}  // namespace
}  // namespace vhbr
