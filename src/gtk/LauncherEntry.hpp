#pragma once
// The launcher's badge: progress on the task bar or dock icon through the LauncherEntry D-Bus
// signal ("com.canonical.Unity.LauncherEntry.Update" for application://com.velvetharbor.Desktop.desktop),
// which docks and task bars listen for on the session bus. While uploads are active it carries
// their mean progress and their number; when none is active both are hidden again. The engine's
// badge text ("37%") announces each change; the tray shows that text as its label.
//
// Threads: main thread only.

#include <gio/gio.h>

#include <optional>
#include <string>

#include "Throttle.hpp"
#include "Upload/UploadManager.hpp"

namespace vhbr::gtk {

class LauncherEntry : public BadgeSink {
public:
    // connection: the application's session bus connection (none: nothing is sent).
    explicit LauncherEntry(GDBusConnection* connection);
    ~LauncherEntry() override;
    LauncherEntry(const LauncherEntry&) = delete;
    LauncherEntry& operator=(const LauncherEntry&) = delete;

    // The manager whose active uploads are shown; it must outlive this object.
    void watch(const UploadManager& uploads) { uploads_ = &uploads; }

    // BadgeSink.
    void setBadge(const std::optional<std::string>& text) override;

private:
    void send();

    GDBusConnection* connection_ = nullptr;
    const UploadManager* uploads_ = nullptr;
    Throttle throttle_;
    bool shown_ = false;  // progress is on the launcher
};

}  // namespace vhbr::gtk
