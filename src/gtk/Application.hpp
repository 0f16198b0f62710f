#pragma once
// The desktop application: one instance per user session (D-Bus name com.velvetharbor.Desktop).
// It creates the app model once, the main window on first activation, and answers the desktop:
// files and links opened with the app (from the launcher, a file manager or a second
// `velvetharbor FILE`) go to the app model; activating it again presents the window; closing the
// window keeps the app running; quitting with active uploads asks first (the menu, Ctrl+Q and
// the session ending); SIGINT and SIGTERM quit.
//
// Threads: main thread only (GApplication runs everything in the GLib main loop). Workers reach
// the models through the GLibMainExecutor.

#include <gtkmm.h>

#include <filesystem>
#include <memory>

#include "AppModel.hpp"
#include "AppcastSoftwareUpdater.hpp"
#include "GLibMainExecutor.hpp"
#include "GioBrowserOpener.hpp"
#include "GioNotificationService.hpp"
#include "JournalLogSink.hpp"
#include "LauncherEntry.hpp"
#include "MainWindow.hpp"
#include "NetworkHints.hpp"
#include "PreferencesWindow.hpp"
#include "TrayIndicator.hpp"
#include "UpdateDialog.hpp"
#include "WebShell.hpp"

namespace vhbr::gtk {

class Application : public Gtk::Application, public WindowPresenter, public ResumePrompt {
public:
    static Glib::RefPtr<Application> create();
    ~Application() override;

    // WindowPresenter.
    void presentMainWindow() override;
    // ResumePrompt: asked without a nested loop, answered from the dialog's response.
    void confirmResume(const std::string& message, const std::string& informativeText,
                       std::function<void(bool resume)> answer) override;

    // The program to start once the main loop has ended: an installed update asked to relaunch.
    const std::filesystem::path& relaunchProgram() const { return relaunchProgram_; }

protected:
    Application();
    void on_startup() override;
    void on_activate() override;
    void on_open(const type_vec_files& files, const Glib::ustring& hint) override;

private:
    void addActions();
    // Adds the tray item once the window's first page is in (or shortly after start-up).
    void addTrayWhenLoaded();
    // Makes the tray item; on Wayland only once a StatusNotifierItem host is on the bus.
    void addTray();
    Glib::RefPtr<Gio::Menu> makeMenu();
    // Presents the main window, creating it the first time: its web view starts loading the web
    // app, and then (above the window) unfinished uploads are offered for resumption.
    MainWindow& presentMainWindowFirst();
    // Quits, after asking when uploads are active.
    void requestQuit();
    void showPreferences();
    // Quits as requestQuit() does, and then main() starts program.
    void relaunch(const std::filesystem::path& program);
    // While uploads run, the session is asked not to end without the user's consent.
    void updateLogoutInhibitor();
    void returnFreedMemorySoon();
    void onQueryEnd();
    // The app could not be set up (say, its data folder is not private): says why, then quits.
    void showStartupError();
    static gboolean onUnixSignal(gpointer data);

    GLibMainExecutor main_;
    JournalLogSink log_;
    std::unique_ptr<GioBrowserOpener> browser_;
    std::unique_ptr<LauncherEntry> launcher_;
    std::unique_ptr<GioNotificationService> notifications_;
    std::unique_ptr<AppModel> model_;  // absent when setting up failed: startupError_ says why
    std::string startupError_;
    std::unique_ptr<UpdateDialog> updateDialog_;
    std::unique_ptr<PreferencesWindow> preferences_;
    std::filesystem::path relaunchProgram_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<TrayIndicator> tray_;
    // Uploads wait before a sleep, and try at once after the wake or a network change.
    std::unique_ptr<NetworkHints> networkHints_;
    std::vector<sigc::connection> trayWaits_;
    guint trayHostWatch_ = 0;  // on Wayland: waiting for a tray host
    Glib::RefPtr<Gio::SimpleAction> checkForUpdates_;
    guint inhibitCookie_ = 0;
    Gtk::MessageDialog* quitQuestion_ = nullptr;  // on show until answered
    sigc::connection quitQuestionFollow_;
    bool startupErrorShown_ = false;
    std::vector<guint> signalSources_;
};

}  // namespace vhbr::gtk
