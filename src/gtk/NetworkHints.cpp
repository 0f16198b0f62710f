#include "NetworkHints.hpp"

namespace vhbr::gtk {

NetworkHints::NetworkHints(std::function<void()> tryNow, std::function<void()> willSleep)
    : tryNow_(std::move(tryNow)), willSleep_(std::move(willSleep)) {
    monitor_ = g_network_monitor_get_default();
    networkChanged_ = g_signal_connect(monitor_, "network-changed", G_CALLBACK(&NetworkHints::onNetworkChanged), this);
    // The system bus is a local socket: connecting is quick, and where there is none nothing waits.
    GError* error = nullptr;
    system_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!system_) {
        g_clear_error(&error);
        return;
    }
    prepareForSleep_ = g_dbus_connection_signal_subscribe(
        system_, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
        "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &NetworkHints::onPrepareForSleep, this, nullptr);
}

NetworkHints::~NetworkHints() {
    g_signal_handler_disconnect(monitor_, networkChanged_);
    if (system_) {
        g_dbus_connection_signal_unsubscribe(system_, prepareForSleep_);
        g_object_unref(system_);
    }
}

void NetworkHints::onNetworkChanged(GNetworkMonitor*, gboolean available, gpointer self) {
    if (available) hint(static_cast<NetworkHints*>(self)->tryNow_);
}

void NetworkHints::onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                     GVariant* parameters, gpointer self) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    gboolean goingToSleep = FALSE;
    g_variant_get(parameters, "(b)", &goingToSleep);
    // Before the sleep, requests under way end cleanly and their uploads wait (left running, they
    // would stall on dead connections after the wake until the stall window ran out); after it the
    // network may be back at once.
    auto* hints = static_cast<NetworkHints*>(self);
    hint(goingToSleep ? hints->willSleep_ : hints->tryNow_);
}

void NetworkHints::hint(const std::function<void()>& what) noexcept {
    try {
        if (what) what();
    } catch (...) {
        // No exception may cross back into GLib; a hint is only a hint.
    }
}

}  // namespace vhbr::gtk
