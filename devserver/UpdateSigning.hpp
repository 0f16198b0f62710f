#pragma once
// ed25519 keys and signatures for update packages, in the forms the feed and Info.json carry
// (standard base64 of the raw 32-byte key and 64-byte signature). Keys are made at run time:
// no private key is ever part of the repository.

#include <filesystem>
#include <string>

namespace vhbr::dev {

struct UpdateKeyPair {
    std::string privateKey;  // base64 of the 32-byte seed
    std::string publicKey;   // base64 of the 32-byte public key ("SUPublicEDKey")
};

UpdateKeyPair generateUpdateKeyPair();

// base64 signature of the whole file; throws std::runtime_error on a bad key or unreadable file.
std::string signUpdateFile(const std::filesystem::path& file, const std::string& privateKey);

}  // namespace vhbr::dev
