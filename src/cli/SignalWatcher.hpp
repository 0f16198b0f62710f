#pragma once
// SIGINT, SIGTERM and SIGHUP (the terminal closed) end the CLI like a quit, not a cancel: the
// state stays for a resume. A second one exits at once.
// Construct it on the main thread before any other thread starts, so every thread inherits the
// blocked signals and only the watcher receives them.

#include <atomic>
#include <functional>

namespace vhbr::cli {

class SignalWatcher {
public:
    // onFirst runs on the watcher's own thread.
    explicit SignalWatcher(std::function<void(int)> onFirst);

    // The signal that asked to stop, or 0.
    int received() const { return received_.load(); }

private:
    std::function<void(int)> onFirst_;
    std::atomic<int> received_{0};
};

}  // namespace vhbr::cli
