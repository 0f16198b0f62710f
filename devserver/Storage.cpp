#include "Storage.hpp"

#include "Crypto.hpp"
#include "JsonSchema.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

namespace vhbr::dev {
namespace fs = std::filesystem;

void writeFileAtomically(const fs::path& path, const std::string& content) {
    const fs::path tmp = path.string() + ".tmp-" + randomHex(4);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) throw std::runtime_error("could not write " + tmp.string());
    }
    fs::rename(tmp, path);
}

Storage::Writer::Writer(const fs::path& tmpDir)
    : path_(tmpDir / ("body-" + randomHex(8))), md5_(std::make_unique<Digest>(EVP_md5())) {
    buffer_.reserve(2u << 20);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) throw HttpError(500, "could not create a temporary file");
}

Storage::Writer::~Writer() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) {
        std::error_code ec;
        fs::remove(path_, ec);
    }
}

bool Storage::Writer::write(const char* data, size_t size) {
    md5_->update(data, size);
    size_ += size;
    buffer_.insert(buffer_.end(), data, data + size);
    return buffer_.size() < (1u << 20) || flush();
}

bool Storage::Writer::flush() {
    const char* data = buffer_.data();
    size_t left = buffer_.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    buffer_.clear();
    return true;
}

bool Storage::Writer::append(int fd) {
    if (!flush()) return false;
    for (;;) {
        const ssize_t n = ::copy_file_range(fd, nullptr, fd_, nullptr, size_t{1} << 30, 0);
        if (n == 0) return true;
        if (n > 0) {
            size_ += static_cast<std::uint64_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
        break;  // no kernel copy between these files: through a buffer instead
    }
    std::vector<char> buf(1 << 20);
    ssize_t got;
    while ((got = ::read(fd, buf.data(), buf.size())) > 0) {
        buffer_.insert(buffer_.end(), buf.data(), buf.data() + got);
        size_ += static_cast<std::uint64_t>(got);
        if (!flush()) return false;
    }
    return got == 0;
}

ObjectInfo Storage::Writer::finish() {
    const bool flushed = flush();
    const int rc = ::close(fd_);
    fd_ = -1;
    if (!flushed || rc != 0) throw HttpError(500, "could not write the object");
    return {size_, md5_->hex(), ""};
}

Storage::Storage(const fs::path& dataDir)
    : objects_(dataDir / "objects"), multipart_(dataDir / "multipart"), tmp_(dataDir / "tmp") {
    fs::create_directories(objects_);
    fs::create_directories(multipart_);
    fs::remove_all(tmp_);  // bodies of requests that a previous run never finished
    fs::create_directories(tmp_);
}

bool Storage::isSafeKey(const std::string& key) {
    if (key.empty() || key.size() > 1024 || key.front() == '/' || key.back() == '/') return false;
    for (unsigned char c : key)
        if (c < 0x20 || c == 0x7F || c == '\\') return false;
    size_t start = 0;
    while (start <= key.size()) {
        const size_t end = std::min(key.find('/', start), key.size());
        const std::string_view seg(key.data() + start, end - start);
        if (seg.empty() || seg == "." || seg == "..") return false;
        start = end + 1;
    }
    return true;
}

bool Storage::isSafeUploadId(const std::string& uploadId) {
    return !uploadId.empty() && uploadId.size() <= 64 &&
           uploadId.find_first_not_of("0123456789abcdef") == std::string::npos;
}

fs::path Storage::objectPath(const std::string& key) const {
    if (!isSafeKey(key)) throw HttpError(400, "invalid object key");
    // Belt and braces: the lexical result must still lie under the objects folder.
    const fs::path p = (objects_ / key).lexically_normal();
    const auto rel = p.lexically_relative(objects_);
    if (rel.empty() || *rel.begin() == "..") throw HttpError(400, "invalid object key");
    return p;
}

fs::path Storage::uploadDir(const std::string& uploadId) const {
    if (!isSafeUploadId(uploadId)) throw HttpError(404, "no such upload");
    return multipart_ / uploadId;
}

std::unique_ptr<Storage::Writer> Storage::newWriter() const { return std::make_unique<Writer>(tmp_); }

void Storage::commitObject(Writer& writer, const std::string& key) const {
    const fs::path dest = objectPath(key);
    std::error_code ec;
    fs::create_directories(dest.parent_path(), ec);
    fs::rename(writer.tempPath(), dest, ec);
    if (ec) throw HttpError(409, "could not store the object: " + ec.message());
    writer.kept_ = true;
}

void Storage::commitPart(Writer& writer, const ObjectInfo& info, const std::string& uploadId, int partNumber) const {
    const fs::path dir = uploadDir(uploadId);
    fs::create_directories(dir);
    const fs::path part = dir / std::to_string(partNumber);
    writeFileAtomically(part.string() + ".etag", info.etag);
    fs::rename(writer.tempPath(), part);
    writer.kept_ = true;
}

std::optional<std::string> Storage::partEtag(const std::string& uploadId, int partNumber) const {
    const fs::path part = uploadDir(uploadId) / std::to_string(partNumber);
    std::ifstream in(part.string() + ".etag");
    std::string etag;
    if (!fs::exists(part) || !std::getline(in, etag)) return std::nullopt;
    return etag;
}

std::optional<std::uint64_t> Storage::objectSize(const std::string& key) const {
    std::error_code ec;
    const auto p = objectPath(key);
    if (!fs::is_regular_file(p, ec)) return std::nullopt;
    const auto size = fs::file_size(p, ec);
    return ec ? std::nullopt : std::optional<std::uint64_t>(size);
}

std::optional<std::string> Storage::objectSha256(const std::string& key) const {
    const int in = ::open(objectPath(key).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return std::nullopt;
    Digest sha256(EVP_sha256());
    std::vector<char> buf(1 << 20);
    ssize_t got;
    while ((got = ::read(in, buf.data(), buf.size())) > 0) sha256.update(buf.data(), static_cast<size_t>(got));
    ::close(in);
    if (got < 0) return std::nullopt;
    return sha256.hex();
}

// The parts' MD5s are their stored ETags, taken when they arrived, so assembly only copies.
ObjectInfo Storage::assemble(const std::string& uploadId, const std::vector<int>& partNumbers,
                             const std::string& key) const {
    const fs::path dir = uploadDir(uploadId);
    auto writer = newWriter();
    Digest etagOfEtags(EVP_md5());
    for (int n : partNumbers) {
        const auto etag = partEtag(uploadId, n);
        if (!etag) throw HttpError(400, "part " + std::to_string(n) + " is missing");
        const std::string md5 = fromHex(*etag);
        etagOfEtags.update(md5.data(), md5.size());
        const fs::path part = dir / std::to_string(n);
        const int in = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) throw HttpError(400, "part " + std::to_string(n) + " is missing");
        const bool copied = writer->append(in);
        ::close(in);
        if (!copied) throw HttpError(500, "could not assemble part " + std::to_string(n));
    }
    ObjectInfo info = writer->finish();
    info.etag = etagOfEtags.hex() + "-" + std::to_string(partNumbers.size());
    commitObject(*writer, key);
    return info;
}

void Storage::discardUpload(const std::string& uploadId) const {
    if (!isSafeUploadId(uploadId)) return;
    std::error_code ec;
    fs::remove_all(multipart_ / uploadId, ec);
}

void Storage::removeObject(const std::string& key) const {
    std::error_code ec;
    fs::remove(objectPath(key), ec);
}

}  // namespace vhbr::dev
