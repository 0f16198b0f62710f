#include "LoginStore.hpp"

#include "Crypto.hpp"
#include "Storage.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>

namespace vhbr::dev {
using nlohmann::json;

LoginStore::LoginStore(const std::filesystem::path& dataDir, std::vector<std::string> fixedTokens,
                       bool autoApprove, std::chrono::seconds ttl, Clock now)
    : file_(dataDir / "logins.json"),
      fixedTokens_(std::move(fixedTokens)),
      autoApprove_(autoApprove),
      ttl_(ttl),
      now_(std::move(now)) {
    std::ifstream in(file_);
    if (!in) return;
    const json doc = json::parse(in);
    for (const auto& l : doc.at("logins"))
        logins_.push_back({l.at("nonce"), l.at("codeChallenge"), l.at("expiresAtMs"), l.at("state"),
                           {l.at("uid"), l.at("email")}});
    for (const auto& [token, u] : doc.at("tokens").items()) tokens_[token] = {u.at("uid"), u.at("email")};
}

std::int64_t LoginStore::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_().time_since_epoch()).count();
}

void LoginStore::save() const {
    json doc{{"logins", json::array()}, {"tokens", json::object()}};
    for (const auto& l : logins_)
        doc["logins"].push_back({{"nonce", l.nonce}, {"codeChallenge", l.codeChallenge},
                                 {"expiresAtMs", l.expiresAtMs}, {"state", l.state},
                                 {"uid", l.approvedBy.uid}, {"email", l.approvedBy.email}});
    for (const auto& [token, u] : tokens_) doc["tokens"][token] = {{"uid", u.uid}, {"email", u.email}};
    writeFileAtomically(file_, doc.dump(1));
}

std::string LoginStore::issueToken(const User& user) {
    const std::string token = "vhbr_" + randomHex(24);
    tokens_[token] = user;
    issuedAt_[token] = std::chrono::steady_clock::now();
    return token;
}

void LoginStore::setTokenLifetime(std::optional<std::chrono::milliseconds> lifetime) {
    std::lock_guard lock(mutex_);
    tokenLifetime_ = lifetime;
    lifetimeSince_ = std::chrono::steady_clock::now();
}

Login LoginStore::start(const std::string& codeChallenge) {
    std::lock_guard lock(mutex_);
    Login l{randomHex(16), codeChallenge, nowMs() + std::chrono::milliseconds(ttl_).count(), "pending", {}};
    if (autoApprove_) {
        l.state = "approved";
        l.approvedBy = developer();
    }
    logins_.push_back(l);
    save();
    return l;
}

LoginStore::Claim LoginStore::claim(const std::string& nonce, const std::string& codeVerifier) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(logins_.begin(), logins_.end(), [&](const Login& l) { return l.nonce == nonce; });
    if (it == logins_.end()) return {404, "", "Unknown sign-in request."};
    if (it->state == "claimed") return {410, "", "This sign-in request was already used."};
    if (nowMs() >= it->expiresAtMs) return {410, "", "This sign-in request expired."};
    if (!constantTimeEquals(sha256Base64Url(codeVerifier), it->codeChallenge))
        return {403, "", "The code verifier does not match the challenge."};
    if (it->state == "rejected") return {403, "", "The sign-in request was rejected."};
    if (it->state == "pending") return {202, "", "Waiting for approval."};
    it->state = "claimed";
    const std::string token = issueToken(it->approvedBy);
    save();
    return {200, token, ""};
}

int LoginStore::decide(const std::string& nonce, bool approve, const User& user) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(logins_.begin(), logins_.end(), [&](const Login& l) { return l.nonce == nonce; });
    if (it == logins_.end()) return 404;
    if (it->state != "pending") return 409;
    if (nowMs() >= it->expiresAtMs) return 410;
    it->state = approve ? "approved" : "rejected";
    if (approve) it->approvedBy = user;
    save();
    return 200;
}

std::vector<Login> LoginStore::logins() const {
    std::lock_guard lock(mutex_);
    return logins_;
}

std::string LoginStore::signIn(const std::string& email) {
    std::lock_guard lock(mutex_);
    const std::string token = issueToken({"user-" + sha256Base64Url(email).substr(0, 12), email});
    save();
    return token;
}

std::optional<User> LoginStore::userForToken(const std::string& token) const {
    std::lock_guard lock(mutex_);
    if (tokenLifetime_) {
        const auto issued = issuedAt_.find(token);
        const auto since = issued == issuedAt_.end() ? lifetimeSince_ : std::max(issued->second, lifetimeSince_);
        if (std::chrono::steady_clock::now() - since > *tokenLifetime_) return std::nullopt;
    }
    if (std::find(fixedTokens_.begin(), fixedTokens_.end(), token) != fixedTokens_.end()) return developer();
    const auto it = tokens_.find(token);
    return it == tokens_.end() ? std::nullopt : std::optional(it->second);
}

}  // namespace vhbr::dev
