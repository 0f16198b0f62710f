#include "Auth/PKCE.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "Support/Base64.hpp"
#include "Support/Errors.hpp"

namespace vhbr::PKCE {

namespace {

std::string base64URLEncode(std::string_view bytes) {
    std::string text = base64Encode(bytes);
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    text.erase(std::remove(text.begin(), text.end(), '='), text.end());
    return text;
}

}  // namespace

std::string makeCodeVerifier(std::size_t byteCount) {
    if (byteCount > static_cast<std::size_t>(INT_MAX))
        throw AppError("Could not create a secure login verifier.");
    std::vector<unsigned char> bytes(byteCount, 0);
    if (byteCount > 0 && RAND_bytes(bytes.data(), static_cast<int>(byteCount)) != 1)
        throw AppError("Could not create a secure login verifier.");
    std::string verifier = base64URLEncode({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    // The raw bytes are as secret as the verifier; leave no copy in freed memory.
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return verifier;
}

std::string codeChallenge(const std::string& verifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // SHA-256 over memory fails only when libcrypto itself is unusable.
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is unavailable in libcrypto.");
    return base64URLEncode({reinterpret_cast<const char*>(digest), length});
}

}  // namespace vhbr::PKCE
