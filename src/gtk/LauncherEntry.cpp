#include "LauncherEntry.hpp"

#include "Config/AppIdentity.hpp"

namespace vhbr::gtk {

namespace {

constexpr const char* kObjectPath = "/com/velvetharbor/Desktop/LauncherEntry";
constexpr const char* kInterface = "com.canonical.Unity.LauncherEntry";
constexpr auto kInterval = std::chrono::milliseconds(250);

}  // namespace

LauncherEntry::LauncherEntry(GDBusConnection* connection)
    : connection_(connection ? G_DBUS_CONNECTION(g_object_ref(connection)) : nullptr),
      throttle_(kInterval, [this] { send(); }) {}

LauncherEntry::~LauncherEntry() {
    if (connection_) g_object_unref(connection_);
}

void LauncherEntry::setBadge(const std::optional<std::string>& text) {
    // Nothing was shown and nothing is to be shown: the launcher needs no message.
    if (!text && !shown_) return;
    throttle_.request();
}

void LauncherEntry::send() {
    if (!connection_ || !uploads_) return;
    double sum = 0;
    gint64 count = 0;
    for (const auto& upload : uploads_->activeUploads()) {
        if (!upload->status().isActive()) continue;
        sum += upload->progress();
        ++count;
    }
    shown_ = count > 0;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "progress", g_variant_new_double(shown_ ? sum / count : 0.0));
    g_variant_builder_add(&properties, "{sv}", "progress-visible", g_variant_new_boolean(shown_));
    g_variant_builder_add(&properties, "{sv}", "count", g_variant_new_int64(count));
    g_variant_builder_add(&properties, "{sv}", "count-visible", g_variant_new_boolean(shown_));
    GError* error = nullptr;
    // Best effort: a bus that went away only means there is no launcher to tell.
    if (!g_dbus_connection_emit_signal(
            connection_, nullptr, kObjectPath, kInterface, "Update",
            g_variant_new("(sa{sv})", AppIdentity::desktopFileURI().c_str(), &properties), &error)) {
        g_debug("launcher progress not sent: %s", error->message);
        g_error_free(error);
    }
}

}  // namespace vhbr::gtk
