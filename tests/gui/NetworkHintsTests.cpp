// logind's sleep and wake as the desktop app hears them: PrepareForSleep(true) and (false) from
// org.freedesktop.login1 on the system bus reach the uploads, and the same signal from anyone else
// on that bus does not. A bus daemon of the test's own stands in for the system bus (GLib connects
// to DBUS_SYSTEM_BUS_ADDRESS).

#include "NetworkHints.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace vhbr::gtk {
namespace {

using namespace std::chrono_literals;

// A private bus daemon, named as the system bus for this process while it lives.
class PrivateSystemBus {
public:
    PrivateSystemBus() {
        GError* error = nullptr;
        const auto flags = GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE);
        daemon_ = g_subprocess_new(flags, &error, "dbus-daemon", "--session", "--nofork", "--print-address=1",
                                   nullptr);
        if (!daemon_) {
            failure_ = error->message;
            g_error_free(error);
            return;
        }
        GDataInputStream* out = g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_));
        char* line = g_data_input_stream_read_line(out, nullptr, nullptr, nullptr);
        g_object_unref(out);
        if (line) address_ = line;
        g_free(line);
        if (address_.empty()) failure_ = "the bus daemon printed no address";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~PrivateSystemBus() {
        if (!daemon_) return;
        g_subprocess_force_exit(daemon_);
        g_subprocess_wait(daemon_, nullptr, nullptr);
        g_object_unref(daemon_);
    }
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    const std::string& failure() const { return failure_; }

    // A connection of its own, owning name when one is given.
    GDBusConnection* connect(const char* name = nullptr) const {
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (bus && name) {
            constexpr guint32 doNotQueue = 4;
            GVariant* reply = g_dbus_connection_call_sync(
                bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", name, doNotQueue), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000,
                nullptr, nullptr);
            if (reply) g_variant_unref(reply);
        }
        return bus;
    }

private:
    GSubprocess* daemon_ = nullptr;
    std::string address_;
    std::string failure_;
};

void prepareForSleep(GDBusConnection* from, bool goingToSleep) {
    g_dbus_connection_emit_signal(from, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                  "PrepareForSleep", g_variant_new("(b)", goingToSleep), nullptr);
    g_dbus_connection_flush_sync(from, nullptr, nullptr);
}

// Runs the default main context until done() or the time-out.
bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
    return true;
}

TEST(NetworkHints, LogindsSleepAndWakeReachTheUploadsAndNoOneElsesDo) {
    PrivateSystemBus bus;
    ASSERT_EQ(bus.failure(), "");
    GDBusConnection* logind = bus.connect("org.freedesktop.login1");
    GDBusConnection* impostor = bus.connect();
    ASSERT_NE(logind, nullptr);
    ASSERT_NE(impostor, nullptr);

    std::vector<std::string> heard;
    NetworkHints hints([&] { heard.push_back("wake"); }, [&] { heard.push_back("sleep"); });
    // Settles the subscription (who owns logind's name) and any first word of the network monitor.
    iterateUntil([] { return false; }, 300ms);
    heard.clear();

    prepareForSleep(impostor, true);
    prepareForSleep(logind, true);
    prepareForSleep(logind, false);
    EXPECT_TRUE(iterateUntil([&] { return heard.size() >= 2; }, 5s));
    iterateUntil([] { return false; }, 100ms);  // anything heard late would show here
    EXPECT_EQ(heard, (std::vector<std::string>{"sleep", "wake"}));

    g_object_unref(impostor);
    g_object_unref(logind);
}

}  // namespace
}  // namespace vhbr::gtk
