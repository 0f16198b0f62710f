#pragma once
// The speed of one transfer, smoothed over the last few seconds. Progress arrives in steps (a part
// of 10 MiB at a time, six parts finishing close together), so the rate between two steps swings
// wildly; over a window of several seconds it reads steadily.
//
// Threads: main thread (owned by the list's model).

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace vhbr {

class TransferRate {
public:
    using Clock = std::chrono::steady_clock;

    explicit TransferRate(std::chrono::milliseconds window = std::chrono::seconds(5)) : window_(window) {}

    // The bytes sent so far, as known at time now. Fewer bytes than before (a retry from zero)
    // start the measure anew.
    void record(Clock::time_point now, std::int64_t bytes);
    // Bytes per second over the window, or nothing until progress has been seen over at least
    // a second.
    std::optional<double> bytesPerSecond(Clock::time_point now) const;
    void reset() { samples_.clear(); }

private:
    struct Sample {
        Clock::time_point time;
        std::int64_t bytes;
    };

    std::chrono::milliseconds window_;
    std::deque<Sample> samples_;
};

}  // namespace vhbr
