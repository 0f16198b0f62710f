#include "Update/UpdateVerifier.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Platform/AtomicFile.hpp"
#include "Support/Base64.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

// The file's bytes, mapped: ed25519 signs the whole message at once, so it is checked in one piece.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& file) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw FileSystemError(describeFileError("Could not read", file, errno));
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd);
            throw FileSystemError(describeFileError("Could not read", file, err));
        }
        size_ = static_cast<std::size_t>(st.st_size);
        if (size_ > 0) data_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        const int err = errno;
        ::close(fd);
        if (data_ == MAP_FAILED) throw FileSystemError(describeFileError("Could not read", file, err));
    }
    ~MappedFile() {
        if (data_ && data_ != MAP_FAILED) ::munmap(data_, size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const unsigned char* data() const { return static_cast<const unsigned char*>(data_); }
    std::size_t size() const { return size_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

bool signatureMatches(const MappedFile& file, const std::string& signature, const std::string& key) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(key.data()), key.size()),
        &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return false;
    static const unsigned char empty = 0;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), file.size() ? file.data() : &empty, file.size()) == 1;
}

void check(const std::filesystem::path& file, std::uint64_t expectedLength, std::string_view signatureBase64,
           std::string_view publicKeyBase64) {
    const auto key = base64Decode(publicKeyBase64);
    if (!key || key->size() != kKeyBytes)
        throw AppError(
            "The update cannot be checked because this copy of Velvetharbor has no valid public key.");
    const auto signature = base64Decode(signatureBase64);
    if (!signature || signature->size() != kSignatureBytes)
        throw AppError("The update was not installed because its signature is missing or malformed.");
    MappedFile mapped(file);
    if (mapped.size() != expectedLength)
        throw AppError(
            "The update was not installed because the downloaded file does not have the published size.");
    if (!signatureMatches(mapped, *signature, *key))
        throw AppError(
            "The update was not installed because its signature does not match: the file is damaged or was "
            "not "
            "published by the makers of Velvetharbor.");
}

}  // namespace

void UpdateVerifier::verify(const std::filesystem::path& file, std::uint64_t expectedLength,
                            std::string_view signatureBase64, std::string_view publicKeyBase64) {
    try {
        check(file, expectedLength, signatureBase64, publicKeyBase64);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw;
    }
}

}  // namespace vhbr
