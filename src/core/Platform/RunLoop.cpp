#include "Platform/RunLoop.hpp"

namespace vhbr {

RunLoop::RunLoop() : mainThread_(std::this_thread::get_id()) {}

void RunLoop::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    wake_.notify_one();
}

bool RunLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

bool RunLoop::runOne(std::chrono::steady_clock::time_point deadline) {
    std::function<void()> fn;
    {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_until(lock, deadline, [&] { return !queue_.empty() || quit_; })) return false;
        if (queue_.empty()) return false;
        fn = std::move(queue_.front());
        queue_.pop_front();
    }
    fn();
    return true;
}

void RunLoop::run() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (quit_ && queue_.empty()) {
                quit_ = false;
                return;
            }
        }
        runOne(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        runOne(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    }
    return true;
}

void RunLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
}

}  // namespace vhbr
