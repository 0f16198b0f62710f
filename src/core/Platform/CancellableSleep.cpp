#include "Platform/CancellableSleep.hpp"

#include <condition_variable>
#include <mutex>

#include "Support/Errors.hpp"

namespace vhbr {

void sleepOrThrowIfStopped(std::chrono::nanoseconds duration, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // wait_for with a stop token returns as soon as stop is requested.
    wake.wait_for(lock, stop, duration, [] { return false; });
    if (stop.stop_requested()) throw CancelledError();
}

}  // namespace vhbr
