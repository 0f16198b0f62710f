#include "Auth/DesktopLoginService.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "Auth/DesktopLoginModels.hpp"
#include "Auth/PKCE.hpp"
#include "Platform/Url.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace {

constexpr std::size_t kVerifierBytes = 32;
constexpr const char* kBrowserPageFailed = "Could not open the browser sign-in page.";
constexpr const char* kExpired = "That sign-in request expired. Start sign in again.";
constexpr const char* kRejected = "The browser sign-in request was rejected. Start sign in again.";

std::uint64_t toNanoseconds(double seconds) {
    const double nanoseconds = seconds * 1'000'000'000.0;
    // 2^64 as a double; anything at or above it does not fit.
    if (!std::isfinite(nanoseconds) || nanoseconds < 0 || nanoseconds >= 18446744073709551616.0)
        throw std::invalid_argument("The poll interval must be a finite, non-negative number of seconds.");
    return static_cast<std::uint64_t>(nanoseconds);  // the fraction of a nanosecond is dropped
}

}  // namespace

DesktopLoginService::DesktopLoginService(AppConfig config, std::optional<APIClient> apiClient,
                                         double pollIntervalSeconds, BrowserOpener& browser)
    : config_(std::move(config)),
      apiClient_(apiClient ? std::move(*apiClient) : APIClient(config_.apiBaseURL)),
      pollIntervalNanoseconds_(toNanoseconds(pollIntervalSeconds)),
      browser_(browser) {}

std::string DesktopLoginService::start(std::stop_token stop) const {
    const std::string verifier = PKCE::makeCodeVerifier(kVerifierBytes);
    const DesktopLoginStartRequest request{PKCE::codeChallenge(verifier)};

    const APIClientResponse response =
        apiClient_.postRaw("/desktop-login/start", request.toJSON(), std::nullopt, stop);
    response.requireSuccess();
    const auto started = DesktopLoginStartResponse::decode(APIClient::parseJSON(response.data));

    const auto page = approvalURL(started.nonce);
    if (!page) throw AppError(kBrowserPageFailed);
    // A sign-in cancelled while the service answered opens no browser any more.
    if (stop.stop_requested()) throw CancelledError();
    browser_.open(*page, nullptr);

    return pollForToken(started.nonce, verifier, started.expiresAt, stop);
}

std::optional<std::string> DesktopLoginService::approvalURL(const std::string& nonce) const {
    return url::replacingPathAndQuery(config_.webOrigin(), "/desktop-login", {{"nonce", nonce}});
}

std::string DesktopLoginService::pollForToken(const std::string& nonce, const std::string& verifier,
                                              std::chrono::system_clock::time_point expiresAt,
                                              std::stop_token stop) const {
    const nlohmann::json body = DesktopLoginClaimRequest{nonce, verifier}.toJSON();
    for (;;) {
        if (std::chrono::system_clock::now() >= expiresAt) throw AppError(kExpired);
        if (stop.stop_requested()) throw CancelledError();
        pause(stop);

        const APIClientResponse response =
            apiClient_.postRaw("/desktop-login/claim", body, std::nullopt, stop);
        switch (response.statusCode) {
            case 200:
                return DesktopLoginClaimResponse::decode(APIClient::parseJSON(response.data)).token;
            case 202:
                continue;
            case 403:
                throw AppError(kRejected);
            case 404:
            case 410:
                throw AppError(kExpired);
            default:
                throw APIError::httpStatus(response.statusCode, response.errorMessage());
        }
    }
}

void DesktopLoginService::pause(const std::stop_token& stop) const {
    // A private wait that nothing notifies: only the interval passing or a stop request ends it.
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // Capped so that the deadline the wait computes from now cannot overflow (the cap is centuries).
    constexpr std::uint64_t cap = std::numeric_limits<std::int64_t>::max() / 2;
    const std::chrono::nanoseconds interval(
        static_cast<std::int64_t>(std::min(pollIntervalNanoseconds_, cap)));
    const bool stopped = wake.wait_for(lock, stop, interval, [&stop] { return stop.stop_requested(); });
    if (stopped) throw CancelledError();
}

}  // namespace vhbr
