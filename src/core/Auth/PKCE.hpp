#pragma once
// PKCE (RFC 7636, method S256): the one-time code verifier and its challenge for the desktop
// sign-in. Stateless; any thread. The verifier is a secret: keep it in memory only.

#include <cstddef>
#include <string>

namespace vhbr::PKCE {

// byteCount secure random bytes as unpadded base64url (43 characters for 32 bytes).
// Throws AppError "Could not create a secure login verifier." when the generator fails.
std::string makeCodeVerifier(std::size_t byteCount);

// Unpadded base64url of the SHA-256 digest of the verifier's bytes (43 characters).
std::string codeChallenge(const std::string& verifier);

}  // namespace vhbr::PKCE
