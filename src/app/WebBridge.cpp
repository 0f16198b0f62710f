#include "WebBridge.hpp"

#include <algorithm>
#include <cctype>

#include "Platform/Url.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace {

const char* const kSignInScript = "return await window.__vhbrShell.signInWithToken(token)";
const char* const kIdTokenScript = "return await window.__vhbrShell.getIdToken()";
const char* const kNotReady = "Velvetharbor is not ready yet.";
constexpr const char* kRelayEvent = "vhbr-shell-message";

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

const std::string& WebBridge::pageScript() {
    static const std::string script = std::string(R"JS((() => {
  const post = (message) => document.dispatchEvent(
    new CustomEvent(')JS") + kRelayEvent +
                                      R"JS(', {detail: JSON.stringify(message)}));
  const handler = Object.freeze({postMessage: (message) => post(message)});
  const handlers = Object.freeze({)JS" +
                                      std::string(kMessageHandlerName) + R"JS(: handler});
  Object.defineProperty(window, 'webkit', {value: Object.freeze({messageHandlers: handlers})});
})();)JS";
    return script;
}

const std::string& WebBridge::relayScript() {
    static const std::string script = std::string(R"JS(document.addEventListener(')JS") + kRelayEvent +
                                      R"JS(', (event) => {
  if (typeof event.detail !== 'string') return;
  let body;
  try { body = JSON.parse(event.detail); } catch (e) { return; }
  window.webkit.messageHandlers.)JS" + std::string(kMessageHandlerName) +
                                      R"JS(.postMessage(
    {origin: location.origin, mainFrame: window === window.top, body});
}, true);)JS";
    return script;
}

std::optional<WebBridge::Message> WebBridge::unwrap(const nlohmann::json& envelope) {
    if (!envelope.is_object()) return std::nullopt;
    Message message;
    if (const auto origin = envelope.find("origin"); origin != envelope.end() && origin->is_string())
        message.source.origin = origin->get<std::string>();
    if (const auto main = envelope.find("mainFrame"); main != envelope.end() && main->is_boolean())
        message.source.mainFrame = main->get<bool>();
    if (const auto body = envelope.find("body"); body != envelope.end()) message.body = *body;
    return message;
}

WebBridge::WebBridge(MainExecutor& main, std::string webOrigin, LogSink* log)
    : main_(main), webOrigin_(std::move(webOrigin)), log_(log) {}

WebBridge::~WebBridge() { *alive_ = false; }

bool WebBridge::showsWebApp() const {
    if (!webShell_) return false;
    const auto committed = webShell_->committedURL();
    if (!committed) return false;
    const auto origin = url::origin(*committed);
    return origin && origin == url::origin(webOrigin_);
}

// ---- Messages ----

void WebBridge::handleMessage(const nlohmann::json& body, const ScriptMessageSource& source) {
    const auto origin = url::origin(source.origin);
    if (!source.mainFrame || !origin || origin != url::origin(webOrigin_)) {
        log_.debug("Ignored a script message from " + std::string(source.mainFrame ? "a page" : "a frame") +
                   " of " + source.origin + ", not the web app");
        return;
    }
    if (!body.is_object()) return;
    const auto type = stringAt(body, "type");
    if (!type) return;
    if (*type == "authState") {
        const auto signedIn = body.find("signedIn");
        if (signedIn != body.end() && signedIn->is_boolean() && signedIn->get<bool>())
            authStateReported.emit(ShellAuthState::signedIn(stringAt(body, "uid"), stringAt(body, "email")));
        else
            authStateReported.emit(ShellAuthState::signedOut());
    } else if (*type == "startLogin") {
        loginRequested.emit();
    } else if (*type == "taskCreated" || *type == "taskStatusChanged") {
        reportTaskEvent(body);
    }
}

void WebBridge::reportTaskEvent(const nlohmann::json& body) {
    auto id = stringAt(body, "id");
    if (!id) id = stringAt(body, "taskId");
    if (!id) return;
    const auto statusValue = body.find("status");
    const bool finished = statusValue != body.end() && statusValue->is_string()
                              ? isFinishedStatus(statusValue->get<std::string>())
                              : stringAt(body, "type") == "taskCreated";
    if (finished) taskFinished.emit(*id);
}

// ---- Scripts ----

WebShell& WebBridge::bridgeShell() const {
    if (!webShell_ || !webShell_->committedURL()) throw AppError(kNotReady);
    // The token is for the web app alone, never for another site shown in the view.
    if (!showsWebApp()) throw AppError("Open Velvetharbor to continue.");
    return *webShell_;
}

void WebBridge::signInWebView(const std::string& token, DoneCompletion done) {
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

void WebBridge::pageLoadEnded() {
    auto waiting = std::move(tokenRequestsWaitingForPage_);
    tokenRequestsWaitingForPage_.clear();
    for (auto& done : waiting) requestIdToken(std::move(done));
}

void WebBridge::requestIdToken(TokenCompletion done) {
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

std::future<std::string> WebBridge::idToken() {
    auto promise = std::make_shared<std::promise<std::string>>();
    auto future = promise->get_future();
    main_.post([this, alive = alive_, promise] {
        if (!*alive) return promise->set_exception(std::make_exception_ptr(AppError(kNotReady)));
        requestIdToken([this, promise](std::string token, std::exception_ptr error) {
            if (!error) return promise->set_value(std::move(token));
            log_.info("No bearer token for an upload: " + describeException(error));
            promise->set_exception(error);
        });
    });
    return future;
}

}  // namespace vhbr
