#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vhbr::dev {

struct User {
    std::string uid;
    std::string email;
};

struct Login {
    std::string nonce;
    std::string codeChallenge;
    std::int64_t expiresAtMs = 0;
    std::string state;  // pending, approved, rejected, claimed
    User approvedBy;    // set on approval; the claim issues a token for this user
};

// Desktop sign-in requests and the bearer tokens the service accepts, persisted in DIR/logins.json.
// Tokens given on the command line belong to a fixed developer user and are not persisted.
// A sign-in request expires ttl after its start, by the given wall clock (the system's unless told).
class LoginStore {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    LoginStore(const std::filesystem::path& dataDir, std::vector<std::string> fixedTokens, bool autoApprove,
               std::chrono::seconds ttl, Clock now = std::chrono::system_clock::now);

    Login start(const std::string& codeChallenge);
    struct Claim {
        int status;
        std::string token;  // with status 200
        std::string message;
    };
    Claim claim(const std::string& nonce, const std::string& codeVerifier);
    // Status 200, or 404 unknown, 409 no longer pending, 410 expired.
    int decide(const std::string& nonce, bool approve, const User& user);
    std::vector<Login> logins() const;  // oldest first

    std::string signIn(const std::string& email);  // a new token for that user
    std::optional<User> userForToken(const std::string& token) const;
    // From now on every token expires lifetime after it was issued (those issued before, and the
    // fixed ones, count as issued now); nothing: tokens never expire (the default).
    void setTokenLifetime(std::optional<std::chrono::milliseconds> lifetime);

    static User developer() { return {"dev", "dev@localhost"}; }

private:
    std::string issueToken(const User& user);  // caller holds mutex_
    void save() const;
    std::int64_t nowMs() const;
    std::filesystem::path file_;
    std::vector<std::string> fixedTokens_;
    bool autoApprove_;
    std::chrono::seconds ttl_;
    Clock now_;
    mutable std::mutex mutex_;
    std::vector<Login> logins_;
    std::map<std::string, User> tokens_;
    std::optional<std::chrono::milliseconds> tokenLifetime_;
    std::chrono::steady_clock::time_point lifetimeSince_{};
    std::map<std::string, std::chrono::steady_clock::time_point> issuedAt_;
};

}  // namespace vhbr::dev
