#pragma once
// Decides whether a downloaded update may be installed: its size must be the one the feed
// published and its ed25519 signature must verify against the public key the application was
// built with ("SUPublicEDKey": base64 of the 32-byte key).
// Threads: any (a worker thread, since it reads the whole file).

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace vhbr {

class UpdateVerifier {
public:
    // Throws AppError saying in plain words why the file is refused, after deleting it, so a
    // tampered or damaged package never stays around to be opened by hand.
    static void verify(const std::filesystem::path& file, std::uint64_t expectedLength,
                       std::string_view signatureBase64, std::string_view publicKeyBase64);
};

}  // namespace vhbr
