#pragma once

#include <chrono>
#include <stop_token>

namespace vhbr {

// Sleeps for duration, or less when stop is requested. Throws CancelledError if it was.
void sleepOrThrowIfStopped(std::chrono::nanoseconds duration, std::stop_token stop);

}  // namespace vhbr
