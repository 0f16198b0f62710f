#pragma once
// The tray icon (a StatusNotifierItem through libayatana-appindicator): the app's symbolic icon,
// a second icon with a dot while uploads are active, the launcher badge's percentage as its label,
// and the status menu the app layer builds. A tray host shows the menu from the copy exported over
// D-Bus and gives no chance to rebuild it as it opens, so it is rewritten whenever the upload
// manager announces a change (at most four times a second while uploads progress: an open menu
// shows live values). Without a tray host on the desktop nothing shows; the window and the
// launcher remain the way in. Menu items only forward to the app model (and quit to the app's
// quit, which asks first while uploads run).
//
// Threads: main thread only.

#include <gtkmm.h>
#include <libayatana-appindicator/app-indicator.h>

#include <functional>
#include <memory>
#include <vector>

#include "AppModel.hpp"
#include "StatusMenu.hpp"
#include "Throttle.hpp"

namespace vhbr::gtk {

class TrayIndicator : public sigc::trackable {
public:
    TrayIndicator(AppModel& model, std::function<void()> quit);
    ~TrayIndicator();
    TrayIndicator(const TrayIndicator&) = delete;
    TrayIndicator& operator=(const TrayIndicator&) = delete;

private:
    void watchUploads();
    void refresh();
    // Rewrites the items in place when only titles or states changed, so that an open menu keeps
    // its place; otherwise builds the menu anew.
    void showItems(const std::vector<StatusMenuItem>& items);
    void rebuild(const std::vector<StatusMenuItem>& items);
    void activate(const StatusMenuItem& item);
    void perform(const StatusMenuItem& item);

    AppModel& model_;
    std::function<void()> quit_;
    AppIndicator* indicator_ = nullptr;
    const char* shownIcon_ = nullptr;
    Glib::RefPtr<Gtk::AccelGroup> accelerators_ = Gtk::AccelGroup::create();
    Gtk::Menu menu_;
    std::vector<StatusMenuItem> shown_;
    std::vector<std::unique_ptr<Gtk::MenuItem>> items_;
    Throttle throttle_;
    std::vector<sigc::connection> managerConnections_;
    std::vector<sigc::connection> uploadConnections_;
};

}  // namespace vhbr::gtk
