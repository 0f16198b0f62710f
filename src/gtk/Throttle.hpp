#pragma once
// Runs an action at most once per interval while requests keep coming: the first request runs it
// at once, later ones within the interval are merged into one run at the interval's end. Progress
// arrives with every acknowledged part, far more often than a tray menu or a launcher needs to be
// rewritten over D-Bus; the last state is never dropped.
//
// Threads: main thread only (a GLib timeout on the default main context).

#include <glib.h>

#include <chrono>
#include <functional>

namespace vhbr::gtk {

class Throttle {
public:
    Throttle(std::chrono::milliseconds interval, std::function<void()> action);
    ~Throttle();
    Throttle(const Throttle&) = delete;
    Throttle& operator=(const Throttle&) = delete;

    void request();

private:
    static gboolean onInterval(gpointer self);

    std::chrono::milliseconds interval_;
    std::function<void()> action_;
    guint source_ = 0;      // the running interval, if any
    bool pending_ = false;  // a request arrived during it
};

}  // namespace vhbr::gtk
