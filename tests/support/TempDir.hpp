#pragma once

#include <filesystem>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vhbr::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vhbr-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes size bytes of a deterministic pattern (seeded) to path; returns the path.
std::filesystem::path writePatternFile(const std::filesystem::path& path, std::uint64_t size, unsigned seed = 1);

// Hex SHA-256 of a file's content.
std::string sha256OfFile(const std::filesystem::path& path);

// Lower-case hex digest of data with the given OpenSSL digest (EVP_md5(), EVP_sha256(), …).
std::string hexDigest(const EVP_MD* md, std::string_view data);

}  // namespace vhbr::test
