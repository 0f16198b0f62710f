#include "Upload/UploadFileValidator.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include <openssl/evp.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"

namespace vhbr::UploadFileValidator {

namespace fs = std::filesystem;

namespace {

const std::map<std::string, std::string, std::less<>>& mimeTable() {
    static const std::map<std::string, std::string, std::less<>> table{
        {"mkv", "video/x-matroska"}, {"mp4", "video/mp4"}, {"webm", "video/webm"}, {"mov", "video/quicktime"},
        {"avi", "video/x-msvideo"},  {"wav", "audio/wav"}, {"mp3", "audio/mpeg"},  {"ogg", "audio/ogg"},
        {"m4a", "audio/mp4"},        {"aac", "audio/aac"}, {"m4v", "video/x-m4v"},
    };
    return table;
}

// The last path component, ignoring a trailing separator ("movie.mov/" names movie.mov).
fs::path lastComponent(const fs::path& path) {
    return path.has_filename() || !path.has_parent_path() ? path.filename() : path.parent_path().filename();
}

std::string lowercaseExtension(const fs::path& name) {
    std::string ext = name.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

std::string hexPrefix(const unsigned char* bytes, std::size_t count) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0xF];
    }
    return hex;
}

void silenceMediaLibraryLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

std::optional<double> positiveSeconds(std::int64_t duration) {
    if (duration == AV_NOPTS_VALUE) return std::nullopt;
    const double seconds = static_cast<double>(duration) / AV_TIME_BASE;
    if (!std::isfinite(seconds) || seconds <= 0) return std::nullopt;
    return seconds;
}

}  // namespace

const std::set<std::string>& allowedExtensions() {
    static const std::set<std::string> extensions = [] {
        std::set<std::string> keys;
        for (const auto& [ext, mime] : mimeTable()) keys.insert(ext);
        return keys;
    }();
    return extensions;
}

std::string mimeType(std::string_view lowercaseExtension) {
    auto it = mimeTable().find(lowercaseExtension);
    return it == mimeTable().end() ? "application/octet-stream" : it->second;
}

UploadFileMetadata metadata(const fs::path& fileURL) {
    const fs::path name = lastComponent(fileURL);
    const std::string ext = lowercaseExtension(name);
    if (!allowedExtensions().contains(ext))
        throw AppError(
            "Velvetharbor accepts MKV, MP4, WebM, MOV, AVI, WAV, MP3, OGG, M4A, AAC, and M4V files.");

    struct stat st {};
    if (::stat(fileURL.c_str(), &st) != 0)
        throw FileSystemError(describeFileError("Could not read", fileURL, errno));
    if (!S_ISREG(st.st_mode)) throw AppError("Choose a regular media file.");
    if (st.st_size <= 0) throw AppError("That file is empty.");
    if (st.st_size > kMaxFileSize) throw AppError("Velvetharbor desktop v1 supports files up to 5 GB.");

    return UploadFileMetadata{
        .media = {.path = fileURL,
                  .fileName = name.string(),
                  .fileSize = static_cast<std::int64_t>(st.st_size),
                  .mimeType = mimeType(ext),
                  .durationHint = durationHint(fileURL)},
        .modificationDate =
            static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9,
    };
}

namespace {

std::string requestIdOf(std::string text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return "mac-" + hexPrefix(digest, 12);
}

std::string keyText(const UploadFileMetadata& metadata) {
    std::string text = metadata.media.fileName + "|" + std::to_string(metadata.media.fileSize);
    if (metadata.modificationDate) {
        // Fixed notation keeps the decimal form; to_chars still gives the shortest round trip.
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, *metadata.modificationDate,
                                    std::chars_format::fixed);
        text += "|" + std::string(buffer, result.ptr);
    }
    return text;
}

}  // namespace

std::string clientRequestID(const UploadFileMetadata& metadata) { return requestIdOf(keyText(metadata)); }

std::string clientRequestID(const UploadFileMetadata& metadata, UploadIntent intent, std::string_view sourceLanguage,
                            std::string_view targetLanguage) {
    return requestIdOf(keyText(metadata) + "|" + rawValue(intent) + "|" + std::string(sourceLanguage) + "|" +
                       std::string(targetLanguage));
}

namespace {

// The demuxers of the eleven accepted containers (mp4, mov, m4a and m4v share one, as do mkv and webm).
constexpr const char* kProbedFormats = "matroska,webm,mov,mp4,m4a,avi,wav,mp3,ogg,aac";

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The duration of an uncompressed WAV file (PCM or float samples) from its RIFF chunks: the data
// chunk's length over the byte rate, as the media library computes it. Such files (recordings,
// the demo's audio) are common and need no media library at all, whose sixty libraries take
// longer to load than a small file takes to upload. Nothing for anything else.
std::optional<double> uncompressedWaveSeconds(const fs::path& fileURL, std::int64_t fileSize) {
    std::ifstream in(fileURL, std::ios::binary);
    unsigned char header[12];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0)
        return std::nullopt;
    std::optional<std::uint32_t> byteRate;
    std::int64_t offset = 12;
    // A handful of chunks at most come before the samples; a file that says otherwise is left to
    // the media library.
    for (int chunk = 0; chunk < 16; ++chunk) {
        unsigned char head[8];
        if (!in.seekg(offset) || !in.read(reinterpret_cast<char*>(head), sizeof head)) return std::nullopt;
        const std::uint32_t length = littleEndian32(head + 4);
        if (std::memcmp(head, "fmt ", 4) == 0) {
            unsigned char format[16];
            if (length < sizeof format || !in.read(reinterpret_cast<char*>(format), sizeof format)) return std::nullopt;
            const unsigned tag = format[0] | format[1] << 8;
            constexpr unsigned kPCM = 1, kFloat = 3, kExtensible = 0xFFFE;
            if (tag != kPCM && tag != kFloat && tag != kExtensible) return std::nullopt;
            if (tag == kExtensible) {
                // The sub-format's first two bytes name the samples, as the tag does otherwise.
                unsigned char extension[10];
                if (length < 40 || !in.read(reinterpret_cast<char*>(extension), sizeof extension)) return std::nullopt;
                const unsigned sub = extension[8] | extension[9] << 8;
                if (sub != kPCM && sub != kFloat) return std::nullopt;
            }
            byteRate = littleEndian32(format + 8);
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!byteRate || *byteRate == 0) return std::nullopt;
            // A recorder that never finished its header leaves the length unset: the file's end is the data's.
            const std::int64_t available = fileSize - offset - 8;
            const std::int64_t data = (length == 0 || length == 0xFFFFFFFF || length > available) ? available : length;
            const double seconds = static_cast<double>(data) / *byteRate;
            return seconds > 0 ? std::optional<double>(seconds) : std::nullopt;
        }
        offset += 8 + length + (length & 1);
    }
    return std::nullopt;
}

}  // namespace

std::optional<double> durationHint(const fs::path& fileURL) {
    std::error_code sizeError;
    const auto size = fs::file_size(fileURL, sizeError);
    if (!sizeError) {
        if (auto seconds = uncompressedWaveSeconds(fileURL, static_cast<std::int64_t>(size))) return seconds;
    }
    silenceMediaLibraryLogging();
    // "file:" keeps a colon in the name from being read as a protocol; the whitelist keeps a
    // playlist inside a crafted file from reaching the network.
    std::error_code error;
    const fs::path absolute = fs::absolute(fileURL, error);
    if (error) return std::nullopt;
    const std::string url = "file:" + absolute.string();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    // Only the demuxers of the accepted containers parse the file (each of the many others is
    // attack surface), and a crafted file cannot make the probe read or analyse without end.
    av_dict_set(&options, "format_whitelist", kProbedFormats, 0);
    av_dict_set(&options, "probesize", "5000000", 0);
    av_dict_set(&options, "analyzeduration", "5000000", 0);
    AVFormatContext* context = nullptr;
    const int opened = avformat_open_input(&context, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return std::nullopt;

    std::optional<double> seconds = positiveSeconds(context->duration);
    if (!seconds && avformat_find_stream_info(context, nullptr) >= 0)
        seconds = positiveSeconds(context->duration);
    avformat_close_input(&context);
    return seconds;
}

}  // namespace vhbr::UploadFileValidator
