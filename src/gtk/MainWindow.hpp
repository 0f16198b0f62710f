#pragma once
// The main window "Velvetharbor": a header bar with the app's menu, and the web view with the
// overlay the app layer chooses on top. It also presents the upload engine's two requests: the
// confirmation of a pending draft and the upload alert. Closing it only hides it.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <map>
#include <memory>
#include <optional>

#include "AppModel.hpp"
#include "DownloadController.hpp"
#include "DropZone.hpp"
#include "OverlayView.hpp"
#include "ShellOverlay.hpp"
#include "UploadConfirmDialog.hpp"
#include "UploadsButton.hpp"
#include "WebKitShellView.hpp"

namespace vhbr::gtk {

class MainWindow : public Gtk::ApplicationWindow {
public:
    // menuOpening runs each time the menu is about to show, so its items can be brought up to date.
    MainWindow(MainExecutor& main, AppModel& model, const Glib::RefPtr<Gio::MenuModel>& menu,
               std::function<void()> menuOpening);
    ~MainWindow() override;

    WebKitShellView& webView() { return *webView_; }

private:
    WebKitShellView::Hooks webHooks();
    void addWindowActions();
    void showOverlay();
    void showPendingDraft();
    void showUploadAlert();
    bool on_delete_event(GdkEventAny* event) override;
    void forgetDownload(unsigned id);
    void on_show() override;

    AppModel& model_;
    Gtk::HeaderBar header_;
    Gtk::MenuButton menuButton_;
    std::unique_ptr<UploadsButton> uploadsButton_;
    Gtk::Overlay overlay_;
    std::unique_ptr<WebKitShellView> webView_;
    OverlayView overlayView_;
    std::unique_ptr<DropZone> dropZone_;
    std::optional<ShellOverlay> shown_;
    std::unique_ptr<UploadConfirmDialog> confirm_;
    std::string shownAlertId_;  // the alert on screen, if any
    std::vector<sigc::connection> connections_;
    // The web view's downloads, each kept until its end action runs.
    std::map<unsigned, std::unique_ptr<DownloadController>> downloads_;
    unsigned nextDownload_ = 0;
};

}  // namespace vhbr::gtk
