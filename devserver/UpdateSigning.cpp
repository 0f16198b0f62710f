#include "UpdateSigning.hpp"

#include <openssl/evp.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace vhbr::dev {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string encode(const unsigned char* data, size_t size) {
    std::string out(4 * ((size + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string decode(const std::string& text) {
    std::string out(3 * text.size() / 4 + 3, '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) throw std::runtime_error("the key is not base64");
    out.resize(static_cast<size_t>(n));
    // EVP_DecodeBlock counts the padding as zero bytes.
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) out.pop_back();
    return out;
}

}  // namespace

UpdateKeyPair generateUpdateKeyPair() {
    EVP_PKEY* raw = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
        throw std::runtime_error("could not make an ed25519 key");
    KeyPtr key(raw, &EVP_PKEY_free);
    unsigned char seed[32], pub[32];
    size_t seedLength = sizeof seed, pubLength = sizeof pub;
    EVP_PKEY_get_raw_private_key(key.get(), seed, &seedLength);
    EVP_PKEY_get_raw_public_key(key.get(), pub, &pubLength);
    return {encode(seed, seedLength), encode(pub, pubLength)};
}

std::string signUpdateFile(const std::filesystem::path& file, const std::string& privateKey) {
    const std::string seed = decode(privateKey);
    KeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                            reinterpret_cast<const unsigned char*>(seed.data()), seed.size()),
               &EVP_PKEY_free);
    if (!key) throw std::runtime_error("the private key is not an ed25519 key");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &length, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1)
        throw std::runtime_error("could not sign " + file.string());
    return encode(signature, length);
}

}  // namespace vhbr::dev
