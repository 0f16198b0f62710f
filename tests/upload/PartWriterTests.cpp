#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/FilePartWriter.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;

std::string readRange(const fs::path& path, std::int64_t offset, std::int64_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    in.read(bytes.data(), length);
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

std::string readAll(const fs::path& path) {
    return readRange(path, 0, static_cast<std::int64_t>(fs::file_size(path)));
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PartCount, RoundsUpAndIsAtLeastOne) {
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {-5, 1},         {0, 1},          {1, 1},          {10'485'759, 1},
        {10'485'760, 1}, {10'485'761, 2}, {26'214'400, 3}, {5'368'709'120, 512},
    };
    for (const auto& [size, count] : cases) EXPECT_EQ(partCount(size), count) << size;
}

TEST(FilePartWriter, CutsTheSourceIntoExactTenMebibyteParts) {
    test::TempDir tmp;
    const auto source = test::writePatternFile(tmp / "movie.mkv", 26'214'400, 7);
    const auto parts = FilePartWriter::writeParts(source, 26'214'400, "mac-1", tmp / "UploadParts");

    const fs::path partDir = tmp / "UploadParts" / "mac-1";
    EXPECT_EQ(parts, (std::vector<PartFile>{{1, partDir / "part-1", 10'485'760},
                                            {2, partDir / "part-2", 10'485'760},
                                            {3, partDir / "part-3", 5'242'880}}));
    for (const auto& part : parts)
        EXPECT_EQ(readAll(part.fileURL), readRange(source, (part.partNumber - 1) * kPartSize, part.size))
            << part.partNumber;
    EXPECT_EQ(fs::status(partDir).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(FilePartWriter, CopiesAcrossFileSystemsByteForByte) {
    // A source on another file system (tmpfs here) makes the kernel refuse copy_file_range, which
    // exercises the buffered copy; where the kernel accepts, the result must be the same.
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
    test::TempDir shm("/dev/shm/vhbr-test"), tmp;
    const std::int64_t size = kPartSize + 2 * 1'048'576 + 3;
    const auto source = test::writePatternFile(shm / "talk.mov", size, 3);
    const auto parts = FilePartWriter::writeParts(source, size, "mac-1", tmp.path());
    ASSERT_EQ(parts.size(), 2u);
    for (const auto& part : parts)
        EXPECT_EQ(readAll(part.fileURL), readRange(source, (part.partNumber - 1) * kPartSize, part.size));
}

TEST(FilePartWriter, RerunReplacesEverythingLeftBefore) {
    test::TempDir tmp;
    const auto source = test::writePatternFile(tmp / "a.wav", 15'000'000, 1);
    FilePartWriter::writeParts(source, 15'000'000, "mac-1", tmp.path());
    std::ofstream(tmp / "mac-1" / "part-9") << "stale";
    test::writePatternFile(source, 1'000, 2);
    const auto parts = FilePartWriter::writeParts(source, 1'000, "mac-1", tmp.path());
    EXPECT_EQ(namesIn(tmp / "mac-1"), std::vector<std::string>{"part-1"});
    EXPECT_EQ(readAll(parts[0].fileURL), readAll(source));
}

// A source shorter than validated has changed under the upload: no short part is ever written.
TEST(FilePartWriter, ShorterSourceFailsAsChanged) {
    test::TempDir tmp;
    const auto source = test::writePatternFile(tmp / "a.wav", kPartSize + 2);
    try {
        FilePartWriter::writeParts(source, kPartSize + 5, "mac-1", tmp.path());
        FAIL();
    } catch (const AppError& e) {
        EXPECT_NE(std::string(e.what()).find("“a.wav” changed while it was being uploaded"),
                  std::string::npos);
    }
}

TEST(FilePartWriter, AStopEndsTheCopyBetweenChunks) {
    test::TempDir tmp;
    const auto source = test::writePatternFile(tmp / "a.wav", 3 * kPartSize);
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(
        FilePartWriter::writeParts(fd, source, 3 * kPartSize, "mac-1", tmp / "parts", stop.get_token()),
        CancelledError);
    ::close(fd);
    EXPECT_EQ(namesIn(tmp / "parts" / "mac-1").size(), 1u);  // the first part file, begun and not finished
}

TEST(FilePartWriter, CleanupRemovesThePartsAndIgnoresAbsence) {
    test::TempDir tmp;
    const auto source = test::writePatternFile(tmp / "a.wav", 10);
    FilePartWriter::writeParts(source, 10, "mac-1", tmp / "parts");
    FilePartWriter::cleanup("mac-1", tmp / "parts");
    EXPECT_FALSE(fs::exists(tmp / "parts" / "mac-1"));
    EXPECT_TRUE(fs::exists(tmp / "parts"));
    FilePartWriter::cleanup("mac-1", tmp / "parts");
    FilePartWriter::cleanup("mac-2", tmp / "nowhere");
    FilePartWriter::cleanup("..", tmp / "parts" / "x");  // never reaches outside
    EXPECT_TRUE(fs::exists(source));
    // A source that is gone fails as such (a part that cannot be written: the disk tests).
    EXPECT_THROW(FilePartWriter::writeParts(tmp / "missing.mkv", 10, "mac-1", tmp.path()), FileSystemError);
}

}  // namespace
}  // namespace vhbr
