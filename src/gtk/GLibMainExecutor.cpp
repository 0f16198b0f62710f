#include "GLibMainExecutor.hpp"

#include <glib.h>

#include <exception>

namespace vhbr::gtk {

namespace {

gboolean runPosted(gpointer data) {
    auto* fn = static_cast<std::function<void()>*>(data);
    // No exception may unwind through the GLib main loop; posted work handles its own failures,
    // so one escaping here is a bug that is logged rather than a crash in a C frame.
    try {
        (*fn)();
    } catch (const std::exception& e) {
        g_critical("posted work failed: %s", e.what());
    } catch (...) {
        g_critical("posted work failed");
    }
    return G_SOURCE_REMOVE;
}

void deletePosted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

GLibMainExecutor::GLibMainExecutor() : mainThread_(std::this_thread::get_id()) {}

void GLibMainExecutor::post(std::function<void()> fn) {
    g_idle_add_full(G_PRIORITY_DEFAULT, runPosted, new std::function<void()>(std::move(fn)), deletePosted);
}

bool GLibMainExecutor::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

}  // namespace vhbr::gtk
