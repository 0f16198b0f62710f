#include "Crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace vhbr::dev {

std::string toHex(const unsigned char* data, size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

std::string fromHex(std::string_view hex) {
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw std::runtime_error("not a hex digit");
    };
    if (hex.size() % 2 != 0) throw std::runtime_error("odd hex length");
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1]));
    return out;
}

std::string randomHex(size_t bytes) {
    std::vector<unsigned char> buf(bytes);
    if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1) throw std::runtime_error("RAND_bytes failed");
    return toHex(buf.data(), buf.size());
}

std::string sha256Base64Url(std::string_view text) {
    Digest d(EVP_sha256());
    d.update(text.data(), text.size());
    const std::string raw = d.binary();
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char c : raw) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 0x3F];
        }
    }
    if (count > 0) out += alphabet[(bits << (6 - count)) & 0x3F];
    return out;
}

std::string hmacSha256Hex(std::string_view key, std::string_view message) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), md, &len);
    return toHex(md, len);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Digest::Digest(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_, md, nullptr) != 1) throw std::runtime_error("digest init failed");
}

Digest::~Digest() { EVP_MD_CTX_free(ctx_); }

void Digest::update(const void* data, size_t size) { EVP_DigestUpdate(ctx_, data, size); }

std::string Digest::binary() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_, md, &len);
    return std::string(reinterpret_cast<char*>(md), len);
}

std::string Digest::hex() {
    const std::string raw = binary();
    return toHex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

}  // namespace vhbr::dev
