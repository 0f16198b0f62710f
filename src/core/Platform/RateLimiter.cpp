#include "Platform/RateLimiter.hpp"

#include <algorithm>
#include <cmath>

namespace vhbr {

namespace {

// A quarter second of the rate may go at once: small enough that the rate holds over any second,
// large enough that libcurl's 512 KiB reads are not cut into slivers at ordinary limits.
constexpr double kBurstSeconds = 0.25;
// A paused transfer continues once this much may go, not for every few bytes.
constexpr double kWorthContinuing = 16 * 1024;

}  // namespace

RateLimiter& RateLimiter::uploads() {
    static RateLimiter limiter;
    return limiter;
}

void RateLimiter::setRate(std::int64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    rate_ = std::max<std::int64_t>(bytesPerSecond, 0);
    // A new limit starts with a full bucket of its own size, not the old one's.
    last_ = Clock::now();
    tokens_ = capacity();
}

std::int64_t RateLimiter::rate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

double RateLimiter::capacity() const {
    return std::max(static_cast<double>(rate_) * kBurstSeconds, std::min(kWorthContinuing, static_cast<double>(rate_)));
}

void RateLimiter::refill(Clock::time_point now) {
    if (now <= last_) return;
    const std::chrono::duration<double> elapsed = now - last_;
    tokens_ = std::min(capacity(), tokens_ + elapsed.count() * static_cast<double>(rate_));
    last_ = now;
}

std::size_t RateLimiter::take(std::size_t want, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (rate_ == 0) return want;
    refill(now);
    const auto granted = std::min<std::size_t>(want, static_cast<std::size_t>(std::max(tokens_, 0.0)));
    tokens_ -= static_cast<double>(granted);
    return granted;
}

void RateLimiter::giveBack(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    if (rate_ == 0) return;
    tokens_ = std::min(capacity(), tokens_ + static_cast<double>(bytes));
}

RateLimiter::Clock::duration RateLimiter::untilAvailable(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (rate_ == 0) return Clock::duration::zero();
    refill(now);
    const double wanted = std::min(kWorthContinuing, capacity());
    if (tokens_ >= wanted) return Clock::duration::zero();
    const std::chrono::duration<double> wait((wanted - tokens_) / static_cast<double>(rate_));
    return std::chrono::duration_cast<Clock::duration>(wait) + std::chrono::milliseconds(1);
}

}  // namespace vhbr
