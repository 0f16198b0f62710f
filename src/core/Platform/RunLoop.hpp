#pragma once
// A minimal main loop for the CLI and the tests: the thread that constructs it is the main thread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "Platform/MainExecutor.hpp"

namespace vhbr {

class RunLoop : public MainExecutor {
public:
    RunLoop();

    void post(std::function<void()> fn) override;
    bool isMainThread() const override;

    // Main thread: run posted work until quit() is called.
    void run();
    // Main thread: run posted work until done() is true or the timeout passes; returns done().
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Any thread: make run() return after the work queued so far.
    void quit();

private:
    bool runOne(std::chrono::steady_clock::time_point deadline);

    std::thread::id mainThread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool quit_ = false;
};

}  // namespace vhbr
