#include <fcntl.h>
#include <sys/stat.h>

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

fs::path sparseFile(const fs::path& path, std::uintmax_t size) {
    std::ofstream(path).close();
    fs::resize_file(path, size);
    return path;
}

// A valid one-second 8 kHz mono 16-bit PCM WAV file: a 44-byte header, then 16000 bytes of silence.
fs::path writeOneSecondWav(const fs::path& path) {
    const std::string header(
        "RIFF\xa4\x3e\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\x80\x3e\0\0",
        44);
    return writeText(path, header + std::string(16000, '\0'));
}

std::string errorOf(const fs::path& path) {
    try {
        V::metadata(path);
    } catch (const Error& e) {
        return e.what();
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
        {dir / "movie.mov", "Choose a regular media file."},
        {dir / "a.wav", "That file is empty."},
        {dir / "huge.mkv", "Velvetharbor desktop v1 supports files up to 5 GB."},
        {dir / "missing.mkv", "“" + (dir / "missing.mkv").string() + "”: No such file or directory."},
    };
    for (const auto& [path, message] : cases) EXPECT_TRUE(errorOf(path).ends_with(message)) << errorOf(path);
}

// Any content passes under an allowed extension in any case, up to the exact size limit; the
// modification time keeps its fraction of a second (it is part of the idempotency key).
TEST(UploadFileValidator, AcceptsAnAllowedExtensionInAnyCaseUpToTheLimit) {
    test::TempDir dir;
    const auto path = writeText(dir / "Notes.MP4", "just some words, no media here\n");
    const timespec times[2] = {{1'700'000'000, 250'000'000}, {1'700'000'000, 250'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(V::metadata(path),
              (UploadFileMetadata{{path, "Notes.MP4", 31, "video/mp4", std::nullopt}, 1'700'000'000.25}));
    EXPECT_EQ(V::metadata(sparseFile(dir / "limit.mkv", V::kMaxFileSize)).media.fileSize, 5'368'709'120);
}

TEST(UploadFileValidator, DurationComesFromRealMediaOnly) {
    test::TempDir dir;
    writeOneSecondWav(dir / "tone.wav");
    fs::copy_file(dir / "tone.wav", dir / "odd:name.wav");  // a colon is no protocol prefix
    // A second of sound in a container we do not accept (Sun audio) is not parsed at all.
    writeText(dir / "voice.wav",
              std::string(".snd\0\0\0\x18\0\0\x1f\x40\0\0\0\x02\0\0\x1f\x40\0\0\0\x01", 24) +
                  std::string(8000, '\x40'));
    // Uncompressed WAV is read from its chunks, without the media library: also a recording whose
    // header never got its length. A-law samples are left to the media library.
    writeText(dir / "unfinished.wav",
              std::string("RIFF\xff\xff\xff\xffWAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data"
                          "\xff\xff\xff\xff",
                          44) +
                  std::string(16000, '\0'));
    writeText(dir / "alaw.wav",
              std::string("RIFF\x64\x1f\0\0WAVEfmt \x10\0\0\0\x06\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data\x40\x1f\0\0",
                          44) +
                  std::string(8000, '\xd5'));
    sparseFile(dir / "zeros.mkv", 65536);
    writeText(dir / "words.mp3", "ID3 and then nothing");
    const std::pair<const char*, double> cases[] = {
        {"tone.wav", 1.0},  {"odd:name.wav", 1.0}, {"unfinished.wav", 1.0}, {"alaw.wav", 1.0},
        {"voice.wav", 0},   {"zeros.mkv", 0},      {"words.mp3", 0},        {"missing.wav", 0},
    };
    for (const auto& [name, seconds] : cases)  // never zero: absent reads as 0 here
        EXPECT_NEAR(V::durationHint(dir / name).value_or(0), seconds, 0.01) << name;
    EXPECT_NEAR(V::metadata(dir / "tone.wav").media.durationHint.value_or(0), 1.0, 0.01);
}

TEST(UploadFileValidator, ClientRequestIdHashesNameSizeAndOptionalDate) {
    UploadFileMetadata m{{"/x/a.mp4", "a.mp4", 1, "video/mp4", std::nullopt}, std::nullopt};
    EXPECT_EQ(V::clientRequestID(m), "mac-a6a58e498c05303bae9c58ee");  // SHA-256 of "a.mp4|1"
    m.modificationDate = 1'700'000'000.5;
    EXPECT_EQ(V::clientRequestID(m), "mac-57a6b2648f6b9f704468b74e");  // "a.mp4|1|1700000000.5"
    m.modificationDate = 1'700'000'000.0;
    EXPECT_EQ(V::clientRequestID(m), "mac-3ebb8b24246183e4e8c34b6c");  // "a.mp4|1|1700000000"
    // A new upload's key covers its choices too.
    m.modificationDate.reset();
    EXPECT_EQ(V::clientRequestID(m, UploadIntent::subtitle, "auto", "en"),
              "mac-da0ccd9be3e0bec8b45b5d89");  // "a.mp4|1|subtitle|auto|en"
    EXPECT_EQ(V::clientRequestID(m, UploadIntent::translate, "auto", "de"),
              "mac-bf507c64119585dddf1a94c7");  // "a.mp4|1|translate|auto|de"
}

}  // namespace
}  // namespace vhbr
