#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/UploadFileValidator.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;
namespace V = UploadFileValidator;

const std::string kExtensionMessage =
    "Velvetharbor accepts MKV, MP4, WebM, MOV, AVI, WAV, MP3, OGG, M4A, AAC, and M4V files.";

fs::path writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

fs::path sparseFile(const fs::path& path, off_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
    return path;
}

// A valid one-second 8 kHz mono 16-bit PCM WAV file.
fs::path writeOneSecondWav(const fs::path& path) {
    const std::uint32_t rate = 8000, dataSize = rate * 2;
    std::string wav;
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) wav += static_cast<char>(v >> (8 * i));
    };
    auto u16 = [&](std::uint16_t v) {
        for (int i = 0; i < 2; ++i) wav += static_cast<char>(v >> (8 * i));
    };
    wav += "RIFF";
    u32(36 + dataSize);
    wav += "WAVE";
    wav += "fmt ";
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    wav += "data";
    u32(dataSize);
    for (std::uint32_t i = 0; i < dataSize / 2; ++i) u16(static_cast<std::uint16_t>((i % 40) * 800));
    return writeText(path, wav);
}

std::string appErrorOf(const fs::path& path) {
    try {
        V::metadata(path);
    } catch (const AppError& e) {
        return e.message();
    }
    return "(accepted)";
}

TEST(UploadFileValidator, RejectsWithTheFirstFailingCheck) {
    test::TempDir dir;
    writeText(dir / "clip.mpeg", "x");
    writeText(dir / "clip", "x");
    fs::create_directory(dir / "movie.mov");
    writeText(dir / "a.wav", "");
    sparseFile(dir / "huge.mkv", V::kMaxFileSize + 1);
    const std::pair<fs::path, std::string> cases[] = {
        {dir / "clip.mpeg", kExtensionMessage},
        {dir / "clip", kExtensionMessage},
        {dir / "absent.mpeg", kExtensionMessage},  // extension checked before any file access
        {dir / "absent", kExtensionMessage},
        {dir / "movie.mov", "Choose a regular media file."},
        {dir / "a.wav", "That file is empty."},
        {dir / "huge.mkv", "Velvetharbor desktop v1 supports files up to 5 GB."},
    };
    for (const auto& [path, message] : cases) EXPECT_EQ(appErrorOf(path), message) << path;
}

TEST(UploadFileValidator, AcceptsUpperCaseExtensionAndTheExactSizeLimit) {
    test::TempDir dir;
    const auto clip = writeText(dir / "Clip.MP4", "not really media");
    const auto limit = sparseFile(dir / "limit.mkv", V::kMaxFileSize);
    EXPECT_EQ(V::metadata(clip).mimeType, "video/mp4");
    EXPECT_EQ(V::metadata(limit).fileSize, 5'368'709'120);
}

TEST(UploadFileValidator, MissingFileGivesTheSystemsErrorNamingIt) {
    test::TempDir dir;
    try {
        V::metadata(dir / "missing.mkv");
        FAIL() << "accepted a missing file";
    } catch (const FileSystemError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.mkv"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
    }
}

TEST(UploadFileValidator, TextFileWithMediaExtensionValidatesWithoutDuration) {
    test::TempDir dir;
    const auto path = writeText(dir / "notes.mp4", "just some words, no media here\n");
    const timespec times[2] = {{1'700'000'000, 250'000'000}, {1'700'000'000, 250'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const auto m = V::metadata(path);
    EXPECT_EQ(m, (UploadFileMetadata{path, "notes.mp4", 31, "video/mp4", std::nullopt, 1'700'000'000.25}));
}

TEST(UploadFileValidator, ReadsTheDurationOfRealMedia) {
    test::TempDir dir;
    const auto m = V::metadata(writeOneSecondWav(dir / "tone.wav"));
    EXPECT_EQ(m.mimeType, "audio/wav");
    ASSERT_TRUE(m.durationHint.has_value());
    EXPECT_NEAR(*m.durationHint, 1.0, 0.01);
    // A colon must not be taken for a protocol prefix.
    fs::copy_file(dir / "tone.wav", dir / "odd:name.wav");
    EXPECT_NEAR(V::durationHint(dir / "odd:name.wav").value_or(0), 1.0, 0.01);
}

TEST(UploadFileValidator, DurationOfNonMediaOrMissingFileIsAbsent) {
    test::TempDir dir;
    EXPECT_EQ(V::durationHint(dir / "missing.wav"), std::nullopt);
    EXPECT_EQ(V::durationHint(sparseFile(dir / "zeros.mkv", 65536)), std::nullopt);
    EXPECT_EQ(V::durationHint(writeText(dir / "words.mp3", "ID3 and then nothing")), std::nullopt);
    // A second of sound in a container we do not accept (Sun audio) is not parsed at all.
    std::string au = std::string(".snd") + std::string("\0\0\0\x18\0\0\x1f\x40\0\0\0\x02\0\0\x1f\x40\0\0\0\x01", 20);
    au += std::string(8000, '\x40');
    EXPECT_EQ(V::durationHint(writeText(dir / "voice.wav", au)), std::nullopt);
}

TEST(UploadFileValidator, MimeTypesComeFromTheFixedTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"mkv", "video/x-matroska"},
        {"mp4", "video/mp4"},
        {"webm", "video/webm"},
        {"mov", "video/quicktime"},
        {"avi", "video/x-msvideo"},
        {"wav", "audio/wav"},
        {"mp3", "audio/mpeg"},
        {"ogg", "audio/ogg"},
        {"m4a", "audio/mp4"},
        {"aac", "audio/aac"},
        {"m4v", "video/x-m4v"},
        {"mpeg", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& [ext, mime] : cases) EXPECT_EQ(V::mimeType(ext), mime) << ext;
    EXPECT_EQ(V::allowedExtensions(), (std::set<std::string>{"mkv", "mp4", "webm", "mov", "avi", "wav", "mp3",
                                                             "ogg", "m4a", "aac", "m4v"}));
}

TEST(UploadFileValidator, ClientRequestIdHashesNameSizeAndOptionalDate) {
    UploadFileMetadata m{"/x/a.mp4", "a.mp4", 1, "video/mp4", std::nullopt, std::nullopt};
    EXPECT_EQ(V::clientRequestID(m), "mac-a6a58e498c05303bae9c58ee");  // SHA-256 of "a.mp4|1"
    m.modificationDate = 1'700'000'000.5;
    EXPECT_EQ(V::clientRequestID(m), "mac-57a6b2648f6b9f704468b74e");  // "a.mp4|1|1700000000.5"
    m.modificationDate = 1'700'000'000.0;
    EXPECT_EQ(V::clientRequestID(m), "mac-3ebb8b24246183e4e8c34b6c");  // "a.mp4|1|1700000000"
}

TEST(UploadFileValidator, SameNameAndSizeInTwoFoldersGiveOneKeyFromDrafts) {
    test::TempDir dir;
    fs::create_directories(dir / "one");
    fs::create_directories(dir / "two");
    auto a = V::metadata(writeText(dir / "one" / "talk.mp3", "same size"));
    auto b = V::metadata(writeText(dir / "two" / "talk.mp3", "SAME SIZE"));
    a.modificationDate = b.modificationDate = std::nullopt;  // drafts carry no date
    EXPECT_EQ(V::clientRequestID(a), V::clientRequestID(b));
    b.fileSize += 1;
    EXPECT_NE(V::clientRequestID(a), V::clientRequestID(b));
}

}  // namespace
}  // namespace vhbr
