#pragma once
// The "main actor": observable models are touched only on the thread that runs the executor.
// Workers reach them by posting; the GTK front end posts into the GLib loop, the CLI and the
// tests run a RunLoop.

#include <functional>

namespace vhbr {

class MainExecutor {
public:
    virtual ~MainExecutor() = default;
    // Any thread: queue fn to run on the main thread. Never runs fn inline.
    virtual void post(std::function<void()> fn) = 0;
    // Any thread: true when called on the main thread.
    virtual bool isMainThread() const = 0;
};

}  // namespace vhbr
