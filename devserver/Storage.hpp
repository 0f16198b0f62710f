#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vhbr::dev {

class Digest;

// Writes `content` to a sibling temporary file and renames it over `path`.
void writeFileAtomically(const std::filesystem::path& path, const std::string& content);

struct ObjectInfo {
    std::uint64_t size = 0;
    std::string etag;    // hex MD5, or S3's "<md5 of part md5s>-<count>" for assembled objects
    std::string sha256;  // hex; empty until asked for (objectSha256), so that no upload waits for it
};

// Object store on disk: DIR/objects/<key>, parts in DIR/multipart/<uploadId>/<n> with the part's
// ETag beside it in <n>.etag. Bodies stream through a Writer into DIR/tmp and are renamed into
// place only when complete, so a broken upload never leaves a half object behind.
class Storage {
public:
    explicit Storage(const std::filesystem::path& dataDir);

    // Relative, '/'-separated, no empty, "." or ".." segment, no control characters.
    static bool isSafeKey(const std::string& key);
    static bool isSafeUploadId(const std::string& uploadId);

    class Writer {
    public:
        explicit Writer(const std::filesystem::path& tmpDir);
        ~Writer();
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;
        bool write(const char* data, size_t size);
        // Appends the rest of the file `fd` by a copy inside the kernel. Those bytes stay out of
        // the MD5: an assembled object takes its ETag from its parts' instead.
        bool append(int fd);
        // Closes the file and returns its size and MD5; the file stays at tempPath().
        ObjectInfo finish();
        const std::filesystem::path& tempPath() const { return path_; }

    private:
        std::filesystem::path path_;
        int fd_ = -1;
        std::uint64_t size_ = 0;
        std::unique_ptr<Digest> md5_;
        std::vector<char> buffer_;  // the body arrives in small reads; write it to disk in large ones
        bool flush();
        bool kept_ = false;
        friend class Storage;
    };

    std::unique_ptr<Writer> newWriter() const;
    void commitObject(Writer& writer, const std::string& key) const;
    void commitPart(Writer& writer, const ObjectInfo& info, const std::string& uploadId, int partNumber) const;

    std::optional<std::string> partEtag(const std::string& uploadId, int partNumber) const;
    std::optional<std::uint64_t> objectSize(const std::string& key) const;
    std::optional<std::string> objectSha256(const std::string& key) const;  // hex; none when missing
    // Concatenates the parts, file to file, into the object `key`.
    ObjectInfo assemble(const std::string& uploadId, const std::vector<int>& partNumbers, const std::string& key) const;
    void discardUpload(const std::string& uploadId) const;
    void removeObject(const std::string& key) const;
    // Where the object `key` is kept (throws HttpError 400 for an unsafe key).
    std::filesystem::path objectPath(const std::string& key) const;

private:
    std::filesystem::path uploadDir(const std::string& uploadId) const;
    std::filesystem::path objects_, multipart_, tmp_;
};

}  // namespace vhbr::dev
