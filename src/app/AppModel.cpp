#include "AppModel.hpp"

#include <algorithm>
#include <cctype>

#include "AppLifecycle.hpp"
#include "Platform/Url.hpp"
#include "Support/Errors.hpp"
#include "Support/Uuid.hpp"

namespace vhbr {

namespace {

const char* const kSignInScript = "return await window.__vhbrShell.signInWithToken(token)";
const char* const kIdTokenScript = "return await window.__vhbrShell.getIdToken()";
const char* const kNotReady = "Velvetharbor is not ready yet.";
const char* const kOpening = "Opening your browser…";
const char* const kNoBrowser = "Could not open a web browser. Open this link to sign in:";

// The sign-in a worker thread runs for, so that what its browser reports can be told from the
// reports of an exchange that was cancelled meanwhile.
thread_local std::uint64_t tLoginGeneration = 0;

std::optional<std::string> stringAt(const nlohmann::json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool isFinishedStatus(std::string status) {
    std::transform(status.begin(), status.end(), status.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return status == "completed" || status == "complete" || status == "done" || status == "processing";
}

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
    uploadManager_->setTokenProvider(this);
    uploadManager_->setNavigator(this);
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

bool AppModel::showsWebApp() const {
    if (!webShell_) return false;
    const auto committed = webShell_->committedURL();
    if (!committed) return false;
    const auto origin = url::origin(*committed);
    return origin && origin == url::origin(config_.webOrigin());
}

void AppModel::load(const std::string& url) { webShell_->load(url, options_.loadTimeout); }

void AppModel::loadHome() {
    setShellError(std::nullopt);
    if (webShell_) load(config_.webAppURL);
}

void AppModel::reload() {
    setShellError(std::nullopt);
    if (webShell_ && webShell_->currentURL())
        webShell_->reload();
    else
        loadHome();
}

void AppModel::recordNavigationFinished() {
    setShellError(std::nullopt);
    resumeTokenRequests();
}

void AppModel::recordNavigationFailure(const NavigationFailure& failure) {
    resumeTokenRequests();
    if (failure.kind != NavigationFailure::Kind::failed) return;
    log_.warning("The web app could not load: " + failure.message);
    setShellError(ShellNavigationError{makeUuid(), failure.message});
}

// ---- Bridge ----

void AppModel::handleShellMessage(const nlohmann::json& body, const ScriptMessageSource& source) {
    const auto origin = url::origin(source.origin);
    if (!source.mainFrame || !origin || origin != url::origin(config_.webOrigin())) {
        log_.debug("Ignored a script message from " + std::string(source.mainFrame ? "a page" : "a frame") +
                   " of " + source.origin + ", not the web app");
        return;
    }
    if (!body.is_object()) return;
    const auto type = stringAt(body, "type");
    if (!type) return;
    if (*type == "authState") {
        const auto signedIn = body.find("signedIn");
        if (signedIn != body.end() && signedIn->is_boolean() && signedIn->get<bool>()) {
            setAuthState(ShellAuthState::signedIn(stringAt(body, "uid"), stringAt(body, "email")));
            setLoginStatus(LoginStatus::idle());
        } else {
            setAuthState(ShellAuthState::signedOut());
        }
    } else if (*type == "startLogin") {
        startLogin();
    } else if (*type == "taskCreated" || *type == "taskStatusChanged") {
        handleTaskEvent(body);
    }
}

void AppModel::handleTaskEvent(const nlohmann::json& body) {
    auto id = stringAt(body, "id");
    if (!id) id = stringAt(body, "taskId");
    if (!id) return;
    const auto statusValue = body.find("status");
    const bool record = statusValue != body.end() && statusValue->is_string()
                            ? isFinishedStatus(statusValue->get<std::string>())
                            : stringAt(body, "type") == "taskCreated";
    if (record) uploadManager_->recordCompletedTaskID(*id);
}

WebShell& AppModel::bridgeShell() const {
    if (!webShell_ || !webShell_->committedURL()) throw AppError(kNotReady);
    // The token is for the web app alone, never for another site shown in the view.
    if (!showsWebApp()) throw AppError("Open Velvetharbor to continue.");
    return *webShell_;
}

void AppModel::signInWebView(const std::string& token, DoneCompletion done) {
    WebShell* shell = nullptr;
    try {
        shell = &bridgeShell();
    } catch (...) {
        done(std::current_exception());
        return;
    }
    shell->callAsyncJavaScript(
        kSignInScript, {{"token", token}}, [alive = alive_, done](ScriptResult result) {
            if (!*alive) return;
            done(result.error ? std::make_exception_ptr(WebShellError(*result.error)) : nullptr);
        });
}

void AppModel::resumeTokenRequests() {
    auto waiting = std::move(tokenRequestsWaitingForPage_);
    tokenRequestsWaitingForPage_.clear();
    for (auto& done : waiting) requestIdToken(std::move(done));
}

void AppModel::requestIdToken(TokenCompletion done) {
    // Right after start-up (an upload resumed at once, say) the web app may still be loading.
    if (webShell_ && !webShell_->committedURL() && webShell_->currentURL()) {
        tokenRequestsWaitingForPage_.push_back(std::move(done));
        return;
    }
    WebShell* shell = nullptr;
    try {
        shell = &bridgeShell();
    } catch (...) {
        done({}, std::current_exception());
        return;
    }
    shell->callAsyncJavaScript(
        kIdTokenScript, nlohmann::json::object(), [alive = alive_, done](ScriptResult result) {
            if (!*alive) return;
            if (result.error) return done({}, std::make_exception_ptr(WebShellError(*result.error)));
            if (result.value.is_string() && !result.value.get_ref<const std::string&>().empty())
                return done(result.value.get<std::string>(), nullptr);
            done({}, std::make_exception_ptr(AppError("Sign in before starting a native upload.")));
        });
}

std::future<std::string> AppModel::idToken() {
    auto promise = std::make_shared<std::promise<std::string>>();
    auto future = promise->get_future();
    services_.main.post([this, alive = alive_, promise] {
        if (!*alive) return promise->set_exception(std::make_exception_ptr(AppError(kNotReady)));
        requestIdToken([this, promise](std::string token, std::exception_ptr error) {
            if (!error) return promise->set_value(std::move(token));
            log_.info("No bearer token for an upload: " + describeException(error));
            promise->set_exception(error);
        });
    });
    return future;
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
            signInWebView(token, [this, generation](std::exception_ptr handOver) {
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
    if (webShell_) load(target);
}

void AppModel::openMainWindow() { services_.presenter.presentMainWindow(); }

void AppModel::openURIs(const std::vector<std::string>& uris) {
    const auto opened = AppLifecycle::sortOpenedURIs(uris);
    if (opened.presentWindow) openMainWindow();
    if (!opened.files.empty()) uploadManager_->enqueueFiles(opened.files);
}

}  // namespace vhbr
