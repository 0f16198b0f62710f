#pragma once
// The Preferences' upload speed limit: on or off, and the limit in MB/s, kept in the settings and
// applied to the running uploads at once (their transfers read the process's RateLimiter).
//
// Threads: main thread (it writes the settings).

#include <optional>
#include <string>

#include "Platform/RateLimiter.hpp"
#include "Platform/UserDefaults.hpp"

namespace vhbr {

class UploadSpeedLimit {
public:
    // Reads the saved choice and applies it.
    UploadSpeedLimit(UserDefaults& defaults, RateLimiter& limiter);

    bool enabled() const { return enabled_; }
    double megabytesPerSecond() const { return megabytesPerSecond_; }

    // Each saves and applies. A limit that is not above 0 (or not a number) is refused with
    // the message to show, and nothing changes.
    void setEnabled(bool enabled);
    std::optional<std::string> setMegabytesPerSecond(double value);

    static constexpr double kDefaultMegabytesPerSecond = 5;

private:
    void apply();

    UserDefaults& defaults_;
    RateLimiter& limiter_;
    bool enabled_ = false;
    double megabytesPerSecond_ = kDefaultMegabytesPerSecond;
};

}  // namespace vhbr
