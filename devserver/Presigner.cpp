#include "Presigner.hpp"

#include "Crypto.hpp"
#include "Storage.hpp"

#include <cctype>
#include <fstream>
#include <sstream>

namespace vhbr::dev {
namespace {

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

Presigner::Presigner(const std::filesystem::path& dataDir) {
    const auto path = dataDir / "presign.secret";
    std::ifstream in(path);
    std::getline(in, secret_);
    if (secret_.size() < 32) {
        secret_ = randomHex(32);
        writeFileAtomically(path, secret_ + "\n");
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
}

std::string Presigner::encodeKey(const std::string& objectKey) {
    std::string out;
    for (unsigned char c : objectKey) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            static constexpr char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

std::string Presigner::sign(const PresignTarget& t, const std::string& expires) const {
    std::ostringstream text;
    text << "PUT\n" << t.objectKey << '\n' << t.uploadId << '\n' << t.partNumber << '\n' << expires;
    // Untyped URLs keep the text they had before types were signed, so they stay valid.
    if (!t.contentType.empty()) text << '\n' << t.contentType;
    return hmacSha256Hex(secret_, text.str());
}

std::string Presigner::url(const std::string& origin, const PresignTarget& t, std::chrono::seconds ttl) const {
    const std::string expires = std::to_string(unixNow() + ttl.count());
    std::string url = origin + "/storage/" + encodeKey(t.objectKey) + "?";
    if (!t.uploadId.empty()) url += "uploadId=" + t.uploadId + "&partNumber=" + std::to_string(t.partNumber) + "&";
    if (!t.contentType.empty()) url += "X-Vhbr-Content-Type=" + encodeKey(t.contentType) + "&";
    return url + "X-Vhbr-Expires=" + expires + "&X-Vhbr-Signature=" + sign(t, expires);
}

Presigner::Verdict Presigner::verify(const PresignTarget& t, const std::string& expires,
                                     const std::string& signature) const {
    if (expires.empty() || expires.size() > 18 ||
        expires.find_first_not_of("0123456789") != std::string::npos || !constantTimeEquals(sign(t, expires), signature))
        return Verdict::BadSignature;
    return std::stoll(expires) <= unixNow() ? Verdict::Expired : Verdict::Valid;
}

}  // namespace vhbr::dev
