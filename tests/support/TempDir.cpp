#include "TempDir.hpp"

#include <openssl/evp.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace vhbr::test {

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path writePatternFile(const std::filesystem::path& path, std::uint64_t size, unsigned seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    std::uint64_t x = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (auto& c : block) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x);
    }
    std::uint64_t written = 0;
    std::uint64_t blockIndex = 0;
    while (written < size) {
        // Vary each block so that equal parts of a file are not byte-identical.
        block[0] = static_cast<char>(blockIndex++);
        const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), size - written));
        out.write(block.data(), n);
        written += static_cast<std::uint64_t>(n);
    }
    if (!out) throw std::runtime_error("could not write " + path.string());
    return path;
}

namespace {

std::string toHex(const unsigned char* bytes, unsigned int length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0xF];
    }
    return hex;
}

}  // namespace

std::string hexDigest(const EVP_MD* md, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out, &length, md, nullptr);
    return toHex(out, length);
}

std::string sha256OfFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("could not read " + path.string());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char md[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    return toHex(md, len);
}

}  // namespace vhbr::test
