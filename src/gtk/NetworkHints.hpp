#pragma once
// The desktop's hints for uploads that wait for the network: GNetworkMonitor's "network-changed"
// (a network came up or changed) and logind's PrepareForSleep(false) on the system bus (the machine
// woke up) make them try the service at once instead of at the end of their pause;
// PrepareForSleep(true) (the machine is about to sleep) makes running uploads end their requests
// and wait, rather than find their connections dead on wake. Best effort: without a system bus or
// logind only the network monitor speaks, and without either the uploads' stall window and back-off
// alone bring them back.
//
// Threads: main thread (GLib's); both signals arrive there.

#include <gio/gio.h>

#include <functional>

namespace vhbr::gtk {

class NetworkHints {
public:
    // tryNow is called on the main thread for each hint that the network may be back, willSleep
    // when the machine is about to sleep.
    NetworkHints(std::function<void()> tryNow, std::function<void()> willSleep);
    ~NetworkHints();
    NetworkHints(const NetworkHints&) = delete;
    NetworkHints& operator=(const NetworkHints&) = delete;

private:
    static void onNetworkChanged(GNetworkMonitor* monitor, gboolean available, gpointer self);
    static void onPrepareForSleep(GDBusConnection* bus, const gchar* sender, const gchar* path, const gchar* interface,
                                  const gchar* signal, GVariant* parameters, gpointer self);
    // Calls what without letting an exception into GLib.
    static void hint(const std::function<void()>& what) noexcept;

    std::function<void()> tryNow_;
    std::function<void()> willSleep_;
    GNetworkMonitor* monitor_ = nullptr;  // the process's default monitor: not ours to free
    gulong networkChanged_ = 0;
    GDBusConnection* system_ = nullptr;
    guint prepareForSleep_ = 0;
};

}  // namespace vhbr::gtk
