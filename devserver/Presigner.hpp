#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace vhbr::dev {

// What a presigned URL allows: a PUT of one object, or of one part of a multipart upload.
struct PresignTarget {
    std::string objectKey;
    std::string uploadId;  // empty for a whole object
    int partNumber = 0;    // 0 for a whole object
    std::string contentType;  // the only Content-Type the PUT may carry; empty: any
};

// Signs storage URLs with an HMAC-SHA-256 secret kept in the data folder, so URLs handed out
// before a restart stay valid after it.
//
// URL format: ORIGIN/storage/<key, each segment percent-encoded>
//             ?[uploadId=U&partNumber=N&][X-Vhbr-Content-Type=T&]X-Vhbr-Expires=<unix seconds>
//             &X-Vhbr-Signature=<hex>
// signed text: "PUT\n" key "\n" uploadId "\n" partNumber "\n" expires ["\n" content type]
class Presigner {
public:
    explicit Presigner(const std::filesystem::path& dataDir);

    std::string url(const std::string& origin, const PresignTarget& target, std::chrono::seconds ttl) const;

    enum class Verdict { Valid, Expired, BadSignature };
    Verdict verify(const PresignTarget& target, const std::string& expires, const std::string& signature) const;

    static std::string encodeKey(const std::string& objectKey);

private:
    std::string sign(const PresignTarget& target, const std::string& expires) const;
    std::string secret_;
};

}  // namespace vhbr::dev
