#include "AppModel.hpp"

#include "AppLifecycle.hpp"
#include "Platform/Url.hpp"
#include "Support/Errors.hpp"
#include "Support/Uuid.hpp"

namespace vhbr {

namespace {

const char* const kOpening = "Opening your browser…";
const char* const kNoBrowser = "Could not open a web browser. Open this link to sign in:";

// The sign-in a worker thread runs for, so that what its browser reports can be told from the
// reports of an exchange that was cancelled meanwhile.
thread_local std::uint64_t tLoginGeneration = 0;

}  // namespace

struct AppModel::LoginTask {
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    std::jthread thread;  // last: joined before the flag goes
};

AppModel::AppModel(Services services, AppConfig config, Options options)
    : services_(services),
      config_(std::move(config)),
      options_(std::move(options)),
      log_(services_.log),
      bridge_(services_.main, config_.webOrigin(), services_.log),
      updaterSettings_(vhbr::updaterSettings(services_.bundle)),
      loginService_(config_, std::nullopt, options_.loginPollIntervalSeconds, loginBrowser_),
      speedLimit_(services_.defaults, RateLimiter::uploads()) {
    if (updaterSettings_ && options_.makeUpdater) updater_ = options_.makeUpdater(*updaterSettings_);
    if (!updater_) log_.info("Updates are off: this build has no update feed and key");
    if (updater_) updater_->canCheckChanged.connect([this] { canCheckForUpdatesChanged.emit(); });
    partUploader_ = std::make_unique<BackgroundPartUploader>(options_.partSessionIdentifier);
    UploadManager::Options uploadOptions = options_.upload;
    uploadOptions.notifications = services_.notifications;
    uploadOptions.badge = services_.badge;
    uploadOptions.log = services_.log;
    uploadManager_ = std::make_unique<UploadManager>(services_.main, config_, std::nullopt, std::nullopt,
                                                     *partUploader_, services_.defaults, uploadOptions);
    uploadManager_->setTokenProvider(&bridge_);
    uploadManager_->setNavigator(this);
    connectBridge();
}

void AppModel::connectBridge() {
    bridge_.authStateReported.connect([this](const ShellAuthState& state) {
        setAuthState(state);
        // The web app is signed in: whatever sign-in was going on is over.
        if (state.kind == ShellAuthState::Kind::signedIn) setLoginStatus(LoginStatus::idle());
    });
    bridge_.loginRequested.connect([this] { startLogin(); });
    bridge_.taskFinished.connect(
        [this](const std::string& id) { uploadManager_->recordCompletedTaskID(id); });
}

AppModel::~AppModel() {
    *alive_ = false;
    for (auto& task : loginTasks_) task->thread.request_stop();
    uploadManager_.reset();  // a quit: jobs stop, their state stays for the next launch
    loginTasks_.clear();
}

void AppModel::onMain(std::function<void()> fn) { postIfAlive(services_.main, alive_, std::move(fn)); }

bool AppModel::canCheckForUpdates() const { return updater_ && updater_->canCheckForUpdates(); }

void AppModel::checkForUpdates() {
    if (canCheckForUpdates()) updater_->checkForUpdates();
}

// ---- Published state ----

void AppModel::setAuthState(ShellAuthState state) {
    if (state == authState_) return;
    authState_ = std::move(state);
    authStateChanged.emit();
}

void AppModel::setLoginStatus(LoginStatus status) {
    if (status == loginStatus_) return;
    loginStatus_ = std::move(status);
    loginStatusChanged.emit();
}

void AppModel::setShellError(std::optional<ShellNavigationError> error) {
    if (error == shellError_) return;
    shellError_ = std::move(error);
    shellErrorChanged.emit();
}

// ---- Loading ----

void AppModel::load(const std::string& url) { webShell()->load(url, options_.loadTimeout); }

void AppModel::loadHome() {
    setShellError(std::nullopt);
    if (webShell()) load(config_.webAppURL);
}

void AppModel::reload() {
    setShellError(std::nullopt);
    if (auto* shell = webShell(); shell && shell->currentURL())
        shell->reload();
    else
        loadHome();
}

void AppModel::recordNavigationFinished() {
    setShellError(std::nullopt);
    bridge_.pageLoadEnded();
}

void AppModel::recordNavigationFailure(const NavigationFailure& failure) {
    bridge_.pageLoadEnded();
    if (failure.kind != NavigationFailure::Kind::failed) return;
    log_.warning("The web app could not load: " + failure.message);
    setShellError(ShellNavigationError{makeUuid(), failure.message});
}

// ---- Sign-in ----

void AppModel::startLogin() {
    if (loginStatus_.kind == LoginStatus::Kind::working) return;
    setAuthState(ShellAuthState::signedOut());
    setLoginStatus(LoginStatus::working(kOpening));
    log_.info("Sign-in started");
    const std::uint64_t generation = ++loginGeneration_;
    loginTasks_.remove_if([](const auto& task) { return task->done->load(); });
    auto task = std::make_unique<LoginTask>();
    task->thread = std::jthread([this, generation, done = task->done](std::stop_token stop) {
        tLoginGeneration = generation;
        std::string token;
        std::exception_ptr error;
        try {
            token = loginService_.start(stop);
        } catch (...) {
            error = std::current_exception();
        }
        onMain([this, generation, token = std::move(token), error] {
            if (generation != loginGeneration_) return;  // cancelled meanwhile
            if (error) return finishLogin(generation, error);
            setLoginStatus(LoginStatus::working("Finishing sign in…"));
            bridge_.signInWebView(token, [this, generation](std::exception_ptr handOver) {
                finishLogin(generation, handOver);
            });
        });
        *done = true;
    });
    loginTasks_.push_back(std::move(task));
}

void AppModel::cancelLogin() {
    if (loginStatus_.kind != LoginStatus::Kind::working) return;
    ++loginGeneration_;
    if (!loginTasks_.empty()) loginTasks_.back()->thread.request_stop();
    log_.info("Sign-in cancelled");
    setLoginStatus(LoginStatus::idle());
}

void AppModel::LoginBrowser::open(const std::string& url, NotOpened) {
    // Called on the sign-in's worker thread.
    const std::uint64_t generation = tLoginGeneration;
    model_.onMain(
        [model = &model_, generation, url] { model->showLoginLink(generation, url, std::nullopt); });
    // The answer may come after the model is gone: it holds only what outlives the model.
    model_.services_.browser.open(url, [&main = model_.services_.main, alive = model_.alive_, model = &model_,
                                        generation, url](const std::string& reason) {
        postIfAlive(main, alive,
                    [model, generation, url, reason] { model->showLoginLink(generation, url, reason); });
    });
}

void AppModel::showLoginLink(std::uint64_t generation, const std::string& link,
                             const std::optional<std::string>& notOpenedReason) {
    if (generation != loginGeneration_ || loginStatus_.kind != LoginStatus::Kind::working) return;
    if (!notOpenedReason) return setLoginStatus(LoginStatus::working(loginStatus_.message, link));
    log_.warning("No browser opened the sign-in page: " + *notOpenedReason);
    setLoginStatus(LoginStatus::working(kNoBrowser, link));
}

void AppModel::finishLogin(std::uint64_t generation, std::exception_ptr error) {
    if (generation != loginGeneration_) return;
    if (!error) {
        log_.info("Sign-in token handed to the web app");
        setLoginStatus(LoginStatus::idle());
        return;
    }
    const std::string message = describeException(error);
    log_.warning("Sign-in failed: " + message);
    setLoginStatus(LoginStatus::failed(message));
    setAuthState(ShellAuthState::signedOut());
}

// ---- Navigation ----

void AppModel::navigateToTask(const std::string& id) {
    const std::string origin = config_.webOrigin();
    const std::string target = origin + "/app/task/" + id;
    // The id is used as it is; whatever it holds, the page stays on the web app's origin.
    if (!url::isValid(target) || url::origin(target) != url::origin(origin)) return;
    openMainWindow();
    if (webShell()) load(target);
}

void AppModel::openMainWindow() { services_.presenter.presentMainWindow(); }

void AppModel::openURIs(const std::vector<std::string>& uris) {
    const auto opened = AppLifecycle::sortOpenedURIs(uris);
    if (opened.presentWindow) openMainWindow();
    if (!opened.files.empty()) uploadManager_->enqueueFiles(opened.files);
}

}  // namespace vhbr
