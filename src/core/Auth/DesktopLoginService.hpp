#pragma once
// The browser sign-in: registers a PKCE challenge with the service, opens the web app's approval
// page in the user's browser and claims the sign-in token with the verifier once the user approved.
//
// Threads: the fields are fixed at creation, so one service may be used from any thread. start()
// and pollForToken() block for the whole exchange (up to the request's lifetime, minutes): run them
// on a worker thread, e.g. a std::jthread whose stop_token is passed in, never on the main thread.
// Requesting a stop ends a pause or a request at once with CancelledError.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

#include "Auth/BrowserOpener.hpp"
#include "Config/AppConfig.hpp"
#include "Services/APIClient.hpp"

namespace vhbr {

class DesktopLoginService {
public:
    // The pause between claims in real use: often enough that the app signs in moments after the
    // user approves, seldom enough not to load the service.
    static constexpr double kPollIntervalSeconds = 2.0;

    // Without a client, one is built for config.apiBaseURL on the shared URL session. The interval
    // is the pause before each claim, kept as whole nanoseconds; a negative, non-finite or
    // unrepresentable interval throws std::invalid_argument. The browser opener must outlive the service.
    DesktopLoginService(AppConfig config, std::optional<APIClient> apiClient, double pollIntervalSeconds,
                        BrowserOpener& browser);

    const AppConfig& config() const { return config_; }
    std::uint64_t pollIntervalNanoseconds() const { return pollIntervalNanoseconds_; }

    // Runs one whole exchange with a fresh verifier and returns the sign-in token. Throws AppError,
    // APIError, DecodingError, TransportError or CancelledError.
    std::string start(std::stop_token stop) const;

    // webOrigin + "/desktop-login?nonce=…", whatever path or query the web app URL has.
    std::optional<std::string> approvalURL(const std::string& nonce) const;

    // Pauses and claims until the service hands over the token, rejects, forgets the request or the
    // request expires; the expiry is checked before every claim.
    std::string pollForToken(const std::string& nonce, const std::string& verifier,
                             std::chrono::system_clock::time_point expiresAt, std::stop_token stop) const;

private:
    void pause(const std::stop_token& stop) const;

    AppConfig config_;
    APIClient apiClient_;
    std::uint64_t pollIntervalNanoseconds_;
    BrowserOpener& browser_;
};

}  // namespace vhbr
