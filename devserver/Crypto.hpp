#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

namespace vhbr::dev {

std::string toHex(const unsigned char* data, size_t size);
std::string fromHex(std::string_view hex);  // bytes of a lowercase hex text; throws when it is not one
std::string randomHex(size_t bytes);
std::string sha256Base64Url(std::string_view text);  // unpadded base64url, as PKCE S256 wants
std::string hmacSha256Hex(std::string_view key, std::string_view message);
bool constantTimeEquals(std::string_view a, std::string_view b);

// One running EVP digest (MD5, SHA-256, ...), fed incrementally.
class Digest {
public:
    explicit Digest(const EVP_MD* md);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void update(const void* data, size_t size);
    std::string hex();     // finishes the digest
    std::string binary();  // finishes the digest

private:
    EVP_MD_CTX* ctx_;
};

}  // namespace vhbr::dev
