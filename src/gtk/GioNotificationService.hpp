#pragma once
// Delivers the upload-complete notification through the desktop's notification service
// (GNotification: org.gtk.Notifications, the portal or org.freedesktop.Notifications, whichever
// the session offers). Its id, "upload-" + task id, makes a repeated notification for one task
// replace the earlier one; its default action "app.open-task" with the task id opens the task in
// the main window, also when the app has to be started for it.
//
// Delivery is best effort and silent: on a session without any notification service (a bare
// window manager) the notification is dropped instead of GLib warning on the terminal.
//
// Threads: main thread only.

#include <giomm/application.h>
#include <giomm/notification.h>

#include "Notifications/NotificationService.hpp"

namespace vhbr::gtk {

class GioNotificationService : public NotificationService {
public:
    // The application must have the "open-task" action (a string).
    explicit GioNotificationService(Gio::Application& application) : application_(application) {}

    void notifyUploadCompleted(const std::string& fileName, const std::string& taskID) override;

private:
    struct Delivery;
    static void onNames(GObject* bus, GAsyncResult* result, gpointer delivery);

    Gio::Application& application_;
};

}  // namespace vhbr::gtk
