#include "GioNotificationService.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include <giomm/themedicon.h>

#include "AppIcon.hpp"

namespace vhbr::gtk {

namespace {

// The services GNotification can deliver through.
constexpr std::array<std::string_view, 3> kServices = {
    "org.gtk.Notifications", "org.freedesktop.Notifications", "org.freedesktop.portal.Desktop"};

bool namesAService(GVariant* reply) {
    GVariantIter* names = nullptr;
    g_variant_get(reply, "(as)", &names);
    const gchar* name = nullptr;
    bool found = false;
    while (!found && g_variant_iter_next(names, "&s", &name))
        found = std::find(kServices.begin(), kServices.end(), std::string_view(name)) != kServices.end();
    g_variant_iter_free(names);
    return found;
}

}  // namespace

// One notification on its way: the bus is asked for the running names, then for the ones it can
// start, and the notification is sent as soon as a service is among them.
struct GioNotificationService::Delivery {
    GApplication* application;
    std::string id;
    Glib::RefPtr<Gio::Notification> notification;
    bool askedActivatable = false;

    void ask(GDBusConnection* bus) {
        g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               askedActivatable ? "ListActivatableNames" : "ListNames", nullptr,
                               G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onNames, this);
    }
};

void GioNotificationService::notifyUploadCompleted(const std::string& fileName, const std::string& taskID) {
    GDBusConnection* bus = g_application_get_dbus_connection(application_.gobj());
    if (!bus) return;
    const auto content = uploadCompletedContent(fileName, taskID);
    auto notification = Gio::Notification::create(content.title);
    notification->set_body(content.body);
    notification->set_icon(Gio::ThemedIcon::create(AppIcon::kName));
    // The task id travels as the action's target: it is what the notification is about.
    notification->set_default_action_variant("app.open-task", Glib::Variant<Glib::ustring>::create(taskID));
    auto* delivery = new Delivery{G_APPLICATION(g_object_ref(application_.gobj())), content.identifier,
                                  std::move(notification)};
    delivery->ask(bus);
}

void GioNotificationService::onNames(GObject* bus, GAsyncResult* result, gpointer data) {
    auto* delivery = static_cast<Delivery*>(data);
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr);
    const bool found = reply && namesAService(reply);
    if (reply) g_variant_unref(reply);
    if (found) {
        g_application_send_notification(delivery->application, delivery->id.c_str(),
                                        delivery->notification->gobj());
    } else if (reply && !delivery->askedActivatable) {
        delivery->askedActivatable = true;
        delivery->ask(G_DBUS_CONNECTION(bus));
        return;
    }
    g_object_unref(delivery->application);
    delete delivery;
}

}  // namespace vhbr::gtk
