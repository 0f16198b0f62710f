#pragma once
// The desktop app's main actor: work posted from any thread runs in the GLib main loop of the
// default main context, where GTK and WebKit live.
//
// Threads: post() and isMainThread() from any thread. Construct it on the thread that runs the
// GLib main loop. Posting never runs the function inline, even on the main thread: a caller that
// holds a lock or sits inside a WebKit callback is never re-entered. g_idle_add_full is used and
// not g_main_context_invoke, which would run inline on the main thread.

#include <thread>

#include "Platform/MainExecutor.hpp"

namespace vhbr::gtk {

class GLibMainExecutor final : public MainExecutor {
public:
    GLibMainExecutor();

    void post(std::function<void()> fn) override;
    bool isMainThread() const override;

private:
    std::thread::id mainThread_;
};

}  // namespace vhbr::gtk
