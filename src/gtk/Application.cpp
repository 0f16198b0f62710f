#include "Application.hpp"

#include <malloc.h>

#include <gdk/gdkwayland.h>
#include <glib-unix.h>

#include "AppIcon.hpp"
#include "AppLifecycle.hpp"
#include "Config/AppConfig.hpp"
#include "Config/AppIdentity.hpp"
#include "I18n.hpp"
#include "MessageQuestion.hpp"
#include "Platform/Environment.hpp"
#include "Platform/UrlSession.hpp"
#include "Platform/UserDefaults.hpp"
#include "WebSandbox.hpp"

namespace vhbr::gtk {

namespace {

// The latest the tray item is added after start-up, whatever the web app does.
constexpr unsigned kTrayLatestMs = 3000;
// How often the quit question looks at the uploads it is about.
constexpr unsigned kQuitQuestionRefreshMs = 250;

// The overlays' look: a translucent sheet of the window's own background over the web view.
constexpr const char* kStyle = R"CSS(
.vhbr-overlay { background-color: alpha(@theme_bg_color, 0.96); }
.vhbr-overlay-title { font-size: 17pt; font-weight: 600; }
.vhbr-overlay-message { font-size: 11pt; }
.vhbr-headline { font-weight: bold; }
.vhbr-drop-zone { background-color: alpha(@theme_bg_color, 0.94); }
.vhbr-drop-zone frame > border { border: 3px dashed @theme_selected_bg_color; border-radius: 16px; }
)CSS";

}  // namespace

namespace {

Glib::RefPtr<Gio::MenuItem> menuItem(const char* label, const char* action, const char* accel = nullptr) {
    auto item = Gio::MenuItem::create(label, action);
    // Shown beside the label; the shortcut itself is the application's accelerator.
    if (accel) item->set_attribute_value("accel", Glib::Variant<Glib::ustring>::create(accel));
    return item;
}

}  // namespace

Glib::RefPtr<Application> Application::create() { return Glib::RefPtr<Application>(new Application()); }

Application::Application() : Gtk::Application(AppIdentity::kApplicationId, Gio::APPLICATION_HANDLES_OPEN) {
    Glib::set_application_name(AppLifecycle::kMainWindowTitle);
    // Asked before the session ends, so that active uploads are not stopped unasked.
    property_register_session() = true;
}

Application::~Application() {
    quitQuestionFollow_.disconnect();
    for (auto& c : trayWaits_) c.disconnect();
    if (trayHostWatch_) g_bus_unwatch_name(trayHostWatch_);
    for (const auto id : signalSources_) g_source_remove(id);
    networkHints_.reset();  // its hints reach the model
    tray_.reset();
    updateDialog_.reset();  // before the checker it draws
    preferences_.reset();   // before the window it stands over
    window_.reset();        // the web view goes before the model it reports to
    model_.reset();
}

void Application::on_startup() {
    Gtk::Application::on_startup();
    auto css = Gtk::CssProvider::create();
    css->load_from_data(kStyle);
    Gtk::StyleContext::add_provider_for_screen(Gdk::Screen::get_default(), css,
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    AppIcon::useForAllWindows();

    // Decided before the window makes the first web view, whose web process starts in it or not.
    WebSandbox::enabled(&log_);

    browser_ = std::make_unique<GioBrowserOpener>(main_);
    auto& defaults = UserDefaults::standard();
    AppModel::Services services{main_, defaults, BundleInfo::main(), *browser_, *this};
    services.log = &log_;
    launcher_ = std::make_unique<LauncherEntry>(g_application_get_dbus_connection(G_APPLICATION(gobj())));
    services.badge = launcher_.get();
    notifications_ = std::make_unique<GioNotificationService>(*this);
    services.notifications = notifications_.get();
    AppModel::Options options;
    // Only a build with a feed and key has an updater (developer builds have none).
    options.makeUpdater = [this, &defaults](const UpdaterSettings& settings) {
        return std::make_unique<AppcastSoftwareUpdater>(settings, BundleInfo::main(), main_, defaults,
                                                        UrlSession::shared());
    };
    try {
        model_ =
            std::make_unique<AppModel>(services, AppConfig::current(processEnvironment(), defaults), options);
    } catch (const std::exception& e) {
        // No exception may leave this GTK callback; the user is told on activation instead.
        startupError_ = e.what();
        log_.write(LogLevel::error, "Velvetharbor cannot start: " + startupError_);
        hold();
        return;
    }
    if (auto* updater = model_->updater())
        updateDialog_ = std::make_unique<UpdateDialog>(
            updater->checker(), [this] { return static_cast<Gtk::Window*>(window_.get()); },
            [this](const std::filesystem::path& program) { relaunch(program); });
    launcher_->watch(model_->uploadManager());
    networkHints_ = std::make_unique<NetworkHints>([this] { model_->uploadManager().networkMayHaveChanged(); },
                                                   [this] { model_->uploadManager().machineWillSleep(); });
    model_->uploadManager().activeUploadsChanged.connect([this] {
        updateLogoutInhibitor();
        if (!model_->uploadManager().hasActiveUploads()) returnFreedMemorySoon();
    });

    addActions();
    g_signal_connect(gobj(), "query-end", G_CALLBACK(+[](GtkApplication*, gpointer self) {
                         static_cast<Application*>(self)->onQueryEnd();
                     }),
                     this);
    for (const int signal : {SIGINT, SIGTERM})
        signalSources_.push_back(g_unix_signal_add(signal, onUnixSignal, this));
    addTrayWhenLoaded();
    // The app lives on with its window closed: uploads continue and the menu can bring it back.
    hold();
}

void Application::addTrayWhenLoaded() {
    // The tray item (its icons drawn by librsvg, its menu exported on the bus) is not needed for
    // the window's first page, and made before it, it takes the CPU the web engine's processes
    // start up with. It is added once the web app has reported, its load has failed, or (when no
    // window is shown, or the page never reports) after a few seconds.
    auto add = [this] {
        for (auto& c : trayWaits_) c.disconnect();
        trayWaits_.clear();
        if (tray_) return;
        Glib::signal_idle().connect_once([this] { addTray(); }, Glib::PRIORITY_LOW);
    };
    trayWaits_.push_back(model_->authStateChanged.connect(add));
    trayWaits_.push_back(model_->shellErrorChanged.connect(add));
    trayWaits_.push_back(Glib::signal_timeout().connect(
        [add] {
            add();
            return false;
        },
        kTrayLatestMs));
}

void Application::addTray() {
    if (tray_ || trayHostWatch_) return;
    // Without a StatusNotifierItem host the indicator library falls back to an XEmbed tray icon,
    // which exists only on X11: on Wayland it shows nothing and GTK complains. There the item
    // waits for a host (a panel started later registers one).
    if (GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default())) {
        trayHostWatch_ = g_bus_watch_name(
            G_BUS_TYPE_SESSION, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
                auto* app = static_cast<Application*>(self);
                if (!app->tray_)
                    app->tray_ = std::make_unique<TrayIndicator>(*app->model_, [app] { app->requestQuit(); });
            },
            nullptr, this, nullptr);
        return;
    }
    tray_ = std::make_unique<TrayIndicator>(*model_, [this] { requestQuit(); });
}

void Application::addActions() {
    add_action("open", [this] { model_->openMainWindow(); });
    checkForUpdates_ = add_action("check-for-updates", [this] { model_->checkForUpdates(); });
    checkForUpdates_->set_enabled(model_->canCheckForUpdates());
    add_action("quit", [this] { requestQuit(); });
    add_action("preferences", [this] { showPreferences(); });
    // The completion notification's default action: its target is the task id.
    add_action_with_parameter(
        "open-task", Glib::VARIANT_TYPE_STRING, [this](const Glib::VariantBase& target) {
            const auto id = Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(target).get();
            presentMainWindowFirst();
            model_->navigateToTask(id);
        });
    set_accel_for_action("app.quit", "<Primary>q");
    set_accel_for_action("app.preferences", "<Primary>comma");
    set_accel_for_action("win.reload", "<Primary>r");
    set_accels_for_action("win.zoom-in", {"<Primary>plus", "<Primary>equal", "<Primary>KP_Add"});
    set_accels_for_action("win.zoom-out", {"<Primary>minus", "<Primary>KP_Subtract"});
    set_accels_for_action("win.zoom-reset", {"<Primary>0", "<Primary>KP_0"});
}

Glib::RefPtr<Gio::Menu> Application::makeMenu() {
    auto menu = Gio::Menu::create();
    // Not "Open Velvetharbor": this menu is inside the window it would open (the tray keeps it).
    // "Check for Updates…" only in a build with an update channel: greyed out for good, it
    // would only raise the question why.
    auto window = Gio::Menu::create();
    if (model_->updater()) window->append_item(menuItem(_("Check for Updates…"), "app.check-for-updates"));
    window->append_item(menuItem(_("Preferences"), "app.preferences", "<Primary>comma"));
    menu->append_section(window);
    auto page = Gio::Menu::create();
    page->append_item(menuItem(_("Reload"), "win.reload", "<Primary>r"));
    menu->append_section(page);
    auto quit = Gio::Menu::create();
    quit->append_item(menuItem(_("Quit Velvetharbor"), "app.quit", "<Primary>q"));
    menu->append_section(quit);
    return menu;
}

MainWindow& Application::presentMainWindowFirst() {
    if (window_) {
        window_->present();
        return *window_;
    }
    // "Check for Updates…" follows whether the updater can check when the menu opens.
    window_ = std::make_unique<MainWindow>(
        main_, *model_, makeMenu(), [this] { checkForUpdates_->set_enabled(model_->canCheckForUpdates()); });
    // Not Gtk::Application::add_window: that drops a window from the application when it is
    // hidden, and with it the window's shortcuts (Ctrl+Q, Ctrl+R) once it is shown again.
    gtk_window_set_application(GTK_WINDOW(window_->gobj()), gobj());
    // The load starts the web engine's processes, which then start up while the window is drawn.
    model_->loadHome();
    window_->present();
    // After the window and the web app's load: the question is asked over the window, and the
    // uploads it resumes can already ask the web app for a token.
    model_->uploadManager().offerResumeIfNeeded(*this);
    return *window_;
}

void Application::showPreferences() {
    auto& window = presentMainWindowFirst();
    if (!preferences_) preferences_ = std::make_unique<PreferencesWindow>(window, model_->speedLimit());
    preferences_->present();
}

void Application::on_activate() {
    if (!model_) return showStartupError();
    presentMainWindowFirst();
}

void Application::on_open(const type_vec_files& files, const Glib::ustring&) {
    if (!model_) return showStartupError();
    // The window comes forward only for what the model takes: files it checks (the engine
    // presents the window for them) and the app's own links; a stray link changes nothing.
    std::vector<std::string> uris;
    for (const auto& file : files) uris.push_back(file->get_uri());
    model_->openURIs(uris);
}

void Application::presentMainWindow() {
    // Also from the tray or a notification of an app that the desktop started as a service, which
    // has no window yet.
    presentMainWindowFirst();
}

void Application::showStartupError() {
    if (startupErrorShown_) return;
    startupErrorShown_ = true;
    MessageQuestion::ask(nullptr, Gtk::MESSAGE_ERROR, _("Velvetharbor cannot start"), startupError_,
                         {_("Quit")}, [this](int) { quit(); });
}

void Application::confirmResume(const std::string& message, const std::string& informativeText,
                                std::function<void(bool resume)> answer) {
    MessageQuestion::ask(window_.get(), Gtk::MESSAGE_QUESTION, message, informativeText,
                         {_("Resume"), _("Not Now")},
                         [answer = std::move(answer)](int chosen) { answer(chosen == 0); });
}

void Application::requestQuit() {
    const auto question = AppLifecycle::quitConfirmation(model_->uploadManager().activeUploadCount());
    if (!question) {
        quit();
        return;
    }
    if (quitQuestion_) return;
    presentMainWindow();
    quitQuestion_ = MessageQuestion::ask(window_.get(), Gtk::MESSAGE_QUESTION, question->message,
                                         question->informativeText, {question->quitButton, question->cancelButton},
                                         [this](int chosen) {
                                             quitQuestion_ = nullptr;
                                             quitQuestionFollow_.disconnect();
                                             if (chosen == 0)
                                                 quit();
                                             else
                                                 relaunchProgram_.clear();
                                         });
    // The count follows the uploads; when the last one ends, nothing is left to ask about: the
    // question goes and the app quits, as the user asked.
    quitQuestionFollow_ = Glib::signal_timeout().connect(
        [this] {
            if (!quitQuestion_) return false;
            const auto now = AppLifecycle::quitConfirmation(model_->uploadManager().activeUploadCount());
            if (!now) {
                quitQuestion_->response(0);
                return false;
            }
            quitQuestion_->set_secondary_text(now->informativeText);
            return true;
        },
        kQuitQuestionRefreshMs);
}

void Application::relaunch(const std::filesystem::path& program) {
    relaunchProgram_ = program;
    requestQuit();
}

void Application::updateLogoutInhibitor() {
    const bool active = model_->uploadManager().hasActiveUploads();
    if (active && inhibitCookie_ == 0 && window_) {
        inhibitCookie_ = inhibit(*window_, Gtk::APPLICATION_INHIBIT_LOGOUT, _("Uploads are active"));
    } else if (!active && inhibitCookie_ != 0) {
        uninhibit(inhibitCookie_);
        inhibitCookie_ = 0;
    }
}

void Application::returnFreedMemorySoon() {
    // An upload's buffers are freed on its worker threads, and their malloc arenas keep the pages
    // for the next allocation there. The app may now sit idle for hours: the pages go back to the
    // system once the workers are done with them.
    Glib::signal_timeout().connect_once([] { malloc_trim(0); }, 1000);
}

void Application::onQueryEnd() {
    // The session is about to end while uploads run (the inhibitor holds it): ask, as a quit does.
    if (model_->uploadManager().hasActiveUploads()) requestQuit();
}

gboolean Application::onUnixSignal(gpointer data) {
    // A signal comes from outside (a terminal's Ctrl+C, the session or a service manager), which
    // cannot answer a question: quit at once. Unfinished uploads are offered at the next launch.
    static_cast<Application*>(data)->quit();
    return G_SOURCE_CONTINUE;
}

}  // namespace vhbr::gtk
