#include "TransferRate.hpp"

namespace vhbr {

void TransferRate::record(Clock::time_point now, std::int64_t bytes) {
    if (!samples_.empty() && bytes < samples_.back().bytes) samples_.clear();
    if (!samples_.empty() && bytes == samples_.back().bytes) return;
    samples_.push_back({now, bytes});
    // The newest sample at or before the window's start stays, as the window's base.
    while (samples_.size() > 2 && samples_[1].time <= now - window_) samples_.pop_front();
}

std::optional<double> TransferRate::bytesPerSecond(Clock::time_point now) const {
    if (samples_.size() < 2) return std::nullopt;
    // Up to now, not to the last step: a transfer that stopped moving reads slower and slower.
    const std::chrono::duration<double> span = now - samples_.front().time;
    if (span < std::chrono::seconds(1)) return std::nullopt;
    return static_cast<double>(samples_.back().bytes - samples_.front().bytes) / span.count();
}

}  // namespace vhbr
