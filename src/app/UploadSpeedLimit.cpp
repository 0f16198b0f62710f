#include "UploadSpeedLimit.hpp"

#include <cmath>
#include <cstdlib>

namespace vhbr {

namespace {

const char* const kEnabledKey = "VHBR_UPLOAD_LIMIT_ENABLED";
const char* const kRateKey = "VHBR_UPLOAD_LIMIT_MBPS";
// Decimal megabytes, as the list's speeds are shown.
constexpr double kBytesPerMegabyte = 1e6;

bool acceptable(double value) { return std::isfinite(value) && value > 0 && value < 1e9; }

}  // namespace

UploadSpeedLimit::UploadSpeedLimit(UserDefaults& defaults, RateLimiter& limiter)
    : defaults_(defaults), limiter_(limiter) {
    enabled_ = defaults_.string(kEnabledKey) == "true";
    if (const auto saved = defaults_.string(kRateKey)) {
        char* end = nullptr;
        const double value = std::strtod(saved->c_str(), &end);
        // A hand-edited or damaged value falls back to the default rather than to no limit.
        if (end && *end == '\0' && acceptable(value)) megabytesPerSecond_ = value;
    }
    apply();
}

void UploadSpeedLimit::setEnabled(bool enabled) {
    enabled_ = enabled;
    defaults_.set(kEnabledKey, enabled ? "true" : "false");
    apply();
}

std::optional<std::string> UploadSpeedLimit::setMegabytesPerSecond(double value) {
    if (!acceptable(value)) return "The speed limit must be more than 0 MB/s.";
    megabytesPerSecond_ = value;
    defaults_.set(kRateKey, std::to_string(value));
    apply();
    return std::nullopt;
}

void UploadSpeedLimit::apply() {
    limiter_.setRate(enabled_ ? static_cast<std::int64_t>(std::llround(megabytesPerSecond_ * kBytesPerMegabyte)) : 0);
}

}  // namespace vhbr
