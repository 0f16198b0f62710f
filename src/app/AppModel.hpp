#pragma once
// The application's session with the web app and its composition root. AppModel owns the
// configuration and the long-lived services (update decision, upload manager, desktop sign-in,
// the JavaScript bridge), publishes what the window shows about the session and drives the web
// view (home, reload, task pages). What the web app says through the bridge moves the session;
// the bridge is the upload manager's TokenProvider (the bearer token comes from the web app) and
// the model its WebNavigator (a finished upload opens its task).
//
// Threads: every member is called on the main thread, and the published state (authState,
// loginStatus, shellError) changes only there, announced by the signals after the change. The
// sign-in exchange runs on a worker thread and returns to the main thread to publish. Destroying
// the model is a quit: uploads and a running sign-in stop.

#include <sigc++/sigc++.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Auth/BrowserOpener.hpp"
#include "Auth/DesktopLoginService.hpp"
#include "Config/AppConfig.hpp"
#include "Notifications/NotificationService.hpp"
#include "Platform/MainExecutor.hpp"
#include "Platform/PostIfAlive.hpp"
#include "Platform/UserDefaults.hpp"
#include "ShellState.hpp"
#include "SoftwareUpdater.hpp"
#include "Support/BundleInfo.hpp"
#include "Support/Log.hpp"
#include "Upload/BackgroundPartUploader.hpp"
#include "Upload/UploadManager.hpp"
#include "UploadSpeedLimit.hpp"
#include "WebBridge.hpp"
#include "WebShell.hpp"

namespace vhbr {

class AppModel : public WebNavigator {
public:
    // What the front end supplies. Each referenced object must outlive the model.
    struct Services {
        MainExecutor& main;
        UserDefaults& defaults;
        const BundleInfo& bundle;    // Info.json: the update settings
        BrowserOpener& browser;      // the sign-in's approval page
        WindowPresenter& presenter;  // openMainWindow()
        NotificationService* notifications = nullptr;
        BadgeSink* badge = nullptr;
        LogSink* log = nullptr;
    };

    struct Options {
        double loginPollIntervalSeconds = DesktopLoginService::kPollIntervalSeconds;
        std::chrono::seconds loadTimeout{60};
        std::string partSessionIdentifier = "com.velvetharbor.linux.upload.parts";
        // Directories and back-off of the upload engine; its notifications, badge and log come
        // from Services.
        UploadManager::Options upload;
        // Builds the updater engine when the bundle is configured for signed updates; without it
        // (or without settings) there is no updater.
        std::function<std::unique_ptr<SoftwareUpdater>(const UpdaterSettings&)> makeUpdater;
    };

    // Creates the update decision, the sign-in service (2 s poll) and the upload manager (which
    // loads unfinished upload states), and makes itself the manager's token provider and navigator.
    AppModel(Services services, AppConfig config, Options options);
    AppModel(Services services, AppConfig config) : AppModel(services, std::move(config), Options{}) {}
    ~AppModel() override;
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    const AppConfig& config() const { return config_; }
    UploadManager& uploadManager() { return *uploadManager_; }
    UploadSpeedLimit& speedLimit() { return speedLimit_; }
    const DesktopLoginService& loginService() const { return loginService_; }
    const std::optional<UpdaterSettings>& updaterSettings() const { return updaterSettings_; }
    // The updater, owned by the model; nullptr in a build without a feed and key.
    SoftwareUpdater* updater() const { return updater_.get(); }
    // True only with an updater that can check now.
    bool canCheckForUpdates() const;
    // Checks when canCheckForUpdates(); otherwise does nothing.
    void checkForUpdates();
    // Emitted after canCheckForUpdates() may have changed.
    sigc::signal<void()> canCheckForUpdatesChanged;

    // Published state.
    const ShellAuthState& authState() const { return authState_; }
    const LoginStatus& loginStatus() const { return loginStatus_; }
    const std::optional<ShellNavigationError>& shellError() const { return shellError_; }
    sigc::signal<void()> authStateChanged;
    sigc::signal<void()> loginStatusChanged;
    sigc::signal<void()> shellErrorChanged;

    // The web view hosting the web app: set when the window creates it, nullptr when it goes.
    void setWebShell(WebShell* shell) { bridge_.setWebShell(shell); }
    WebShell* webShell() const { return bridge_.webShell(); }
    // The bridge to the web app on config.webOrigin(); the web view hands it the page's messages.
    WebBridge& bridge() { return bridge_; }

    // Clears shellError and loads the web app's start page (when a web view exists).
    void loadHome();
    // Clears shellError and reloads the current page, or loads home when there is none.
    void reload();
    // A page finished loading: clears shellError. Either way the bridge's waiting token
    // requests go ahead.
    void recordNavigationFinished();
    // Publishes a new ShellNavigationError, unless the load was cancelled or interrupted by a
    // policy decision (a download, a link handed to another program).
    void recordNavigationFailure(const NavigationFailure& failure);

    // Starts the desktop sign-in unless one is running ("Opening your browser…" → "Finishing sign
    // in…" → the token handed to the web app over the bridge → idle, or failed with the error's
    // description). Once the browser was asked to open the approval page, loginStatus carries its
    // link; when no browser opened, the message says so. A "startLogin" message starts it too.
    void startLogin();
    // Stops a running sign-in: loginStatus goes back to idle at once, and whatever the stopped
    // exchange still reports is dropped.
    void cancelLogin();
    // WebNavigator: the task page "/app/task/<id>" of the web origin, in the main window.
    void navigateToTask(const std::string& id) override;
    void openMainWindow() override;

    // Files and links handed to the application: file URIs, in order, go to the upload engine
    // as one list; a "velvetharbor-desktop" link presents the main window once; the rest is ignored.
    void openURIs(const std::vector<std::string>& uris);

private:
    struct LoginTask;
    // The sign-in's browser: passes the page on to the front end's browser and publishes its link.
    class LoginBrowser : public BrowserOpener {
    public:
        explicit LoginBrowser(AppModel& model) : model_(model) {}
        void open(const std::string& url, NotOpened notOpened) override;

    private:
        AppModel& model_;
    };

    void setAuthState(ShellAuthState state);
    void setLoginStatus(LoginStatus status);
    void setShellError(std::optional<ShellNavigationError> error);
    // What the web app reports through the bridge.
    void connectBridge();
    void finishLogin(std::uint64_t generation, std::exception_ptr error);
    void showLoginLink(std::uint64_t generation, const std::string& link,
                       const std::optional<std::string>& notOpenedReason);
    void load(const std::string& url);
    // Runs fn on the main thread unless the model is gone by then.
    void onMain(std::function<void()> fn);

    Services services_;
    AppConfig config_;
    Options options_;
    Log log_;
    WebBridge bridge_;  // before the upload manager, whose jobs ask it for tokens
    std::optional<UpdaterSettings> updaterSettings_;
    std::unique_ptr<SoftwareUpdater> updater_;
    LoginBrowser loginBrowser_{*this};
    DesktopLoginService loginService_;
    std::unique_ptr<BackgroundPartUploader> partUploader_;
    std::unique_ptr<UploadManager> uploadManager_;
    UploadSpeedLimit speedLimit_;

    ShellAuthState authState_;
    LoginStatus loginStatus_;
    std::optional<ShellNavigationError> shellError_;
    std::list<std::unique_ptr<LoginTask>> loginTasks_;  // the running or last sign-ins
    std::uint64_t loginGeneration_ = 0;  // the current sign-in; reports of older ones are dropped

    AliveFlag alive_ = makeAliveFlag();
};

}  // namespace vhbr
