#include "GioNotificationService.hpp"

#include <giomm/notification.h>

namespace vhbr::gtk {

void GioNotificationService::notifyUploadCompleted(const std::string& fileName, const std::string& taskID) {
    const auto content = uploadCompletedContent(fileName, taskID);
    try {
        auto notification = Gio::Notification::create(content.title);
        notification->set_body(content.body);
        // The task id travels as the action's target: it is what the notification is about.
        notification->set_default_action_variant("app.open-task",
                                                 Glib::Variant<Glib::ustring>::create(taskID));
        application_.send_notification(content.identifier, notification);
    } catch (const Glib::Error& error) {
        // Best effort: a desktop without notifications still has the task page and the tray.
        g_debug("notification not sent: %s", error.what().c_str());
    }
}

}  // namespace vhbr::gtk
