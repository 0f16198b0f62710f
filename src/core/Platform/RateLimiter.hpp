#pragma once
// The upload speed limit: one token bucket of bytes that every request body read by a UrlSession
// draws from, whichever session and connection sends it, so that six parts in flight together
// keep to the limit rather than each to its own. A transfer that finds the bucket empty is paused
// (never made to sleep: its session's thread drives every other transfer too) and continued by
// its session once the bucket has refilled.
//
// Threads: any; every member locks.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vhbr {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // The process's limit for request bodies, off until set.
    static RateLimiter& uploads();

    // Bytes per second; 0 lifts the limit. Takes effect for the next bytes read.
    void setRate(std::int64_t bytesPerSecond);
    std::int64_t rate() const;

    // How many of want bytes may go now (all when unlimited, 0 when the bucket is empty).
    std::size_t take(std::size_t want, Clock::time_point now = Clock::now());
    // Bytes taken but not sent (the source gave fewer) go back to the bucket.
    void giveBack(std::size_t bytes);
    // How long until a paused transfer is worth continuing: zero when bytes may go now.
    Clock::duration untilAvailable(Clock::time_point now = Clock::now());

private:
    void refill(Clock::time_point now);
    double capacity() const;

    mutable std::mutex mutex_;
    std::int64_t rate_ = 0;
    double tokens_ = 0;
    Clock::time_point last_{};
};

}  // namespace vhbr
