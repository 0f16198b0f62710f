#pragma once
// The JavaScript bridge between the app and the web app in the web view. The web app posts its
// messages to the handler "vhbrShell"; the bridge reads them and reports what they say through
// its signals. The other way, it calls the two functions the web app exposes on
// window.__vhbrShell: signInWithToken(token) hands it a sign-in token, getIdToken() fetches its
// bearer token. It is the upload engine's TokenProvider: an upload's bearer token is the web app's.
//
// The bridge serves the web app only: messages are read only from the main frame of a document of
// the web origin, and the two scripts run only while the web view's committed page (not a load
// still pending) is on it. Any site may be browsed in the view (and framed by the web app), and
// none but the web app may receive a token or speak for it.
//
// Who sent a message is told by a relay: the page's handler (pageScript) hands the message as
// JSON text to a script in a world of the app's own (relayScript), which the page cannot reach or
// change; that script posts it in an envelope with its document's origin and whether it is the
// main frame. The web view injects both into every frame and hands each envelope to unwrap().
//
// Threads: main thread only, and the signals are emitted there. The one exception is idToken(),
// which job threads call: it posts to the main thread and fulfils the future there.

#include <sigc++/sigc++.h>

#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/MainExecutor.hpp"
#include "Platform/PostIfAlive.hpp"
#include "ShellState.hpp"
#include "Support/Log.hpp"
#include "Upload/UploadModels.hpp"
#include "WebShell.hpp"

namespace vhbr {

class WebBridge : public TokenProvider {
public:
    // The script message handler the web app posts to.
    static constexpr std::string_view kMessageHandlerName = "vhbrShell";
    // The script world of the relay; pages cannot run code in it.
    static constexpr const char* kRelayWorld = "vhbr-bridge";
    // In every frame's own world, before the page's scripts: the handler the web app posts to,
    // window.webkit.messageHandlers.vhbrShell. It passes each message on as JSON text, the one
    // form that crosses into the relay's world intact.
    static const std::string& pageScript();
    // In every frame, in kRelayWorld: posts each message to the handler kMessageHandlerName as
    // {origin: the document's origin, mainFrame: whether it is the top frame, body: the message},
    // facts read where the page cannot change them.
    static const std::string& relayScript();

    struct Message {
        nlohmann::json body;
        ScriptMessageSource source;
    };
    // A message as the relay posted it. None when the envelope is no JSON object; a missing or
    // mistyped origin reads as "" and a missing mainFrame as a subframe, which the bridge ignores.
    static std::optional<Message> unwrap(const nlohmann::json& envelope);

    using TokenCompletion = std::function<void(std::string token, std::exception_ptr error)>;
    using DoneCompletion = std::function<void(std::exception_ptr error)>;

    // webOrigin: scheme://host[:port] of the web app, the one origin the bridge serves.
    WebBridge(MainExecutor& main, std::string webOrigin, LogSink* log = nullptr);
    ~WebBridge() override;
    WebBridge(const WebBridge&) = delete;
    WebBridge& operator=(const WebBridge&) = delete;

    // The web view hosting the web app: set when the window creates it, nullptr when it goes.
    void setWebShell(WebShell* shell) { webShell_ = shell; }
    WebShell* webShell() const { return webShell_; }
    // True when the web view's committed page is on the web origin (scheme, host and port).
    bool showsWebApp() const;

    // A message a page posted, as unwrap() read it. Ignored unless it came from the main frame
    // of a document on the web origin; otherwise reported through the signals below.
    void handleMessage(const nlohmann::json& body, const ScriptMessageSource& source);
    // "authState": signedIn (with its uid and email when they are strings) or signedOut.
    sigc::signal<void(const ShellAuthState&)> authStateReported;
    // "startLogin": the web app asks for the desktop sign-in.
    sigc::signal<void()> loginRequested;
    // "taskCreated" or "taskStatusChanged" of a task that is done (or created without a status):
    // its id ("id", else "taskId").
    sigc::signal<void(const std::string& id)> taskFinished;

    // Hands a sign-in token to the web app; done gets the failure, or nullptr.
    void signInWebView(const std::string& token, DoneCompletion done);
    // Asks the web app for its current bearer token (never cached); done gets a non-empty token
    // or the failure. While the view's first page is still loading, the request waits until
    // pageLoadEnded().
    void requestIdToken(TokenCompletion done);
    // The web view's load finished or failed: the token requests that waited for it go ahead.
    void pageLoadEnded();

    // TokenProvider, any thread: requestIdToken() on the main thread behind a future.
    std::future<std::string> idToken() override;

private:
    // The web shell when it shows the web app; throws the bridge's AppError otherwise.
    WebShell& bridgeShell() const;
    void reportTaskEvent(const nlohmann::json& body);

    MainExecutor& main_;
    std::string webOrigin_;
    Log log_;
    WebShell* webShell_ = nullptr;
    std::vector<TokenCompletion> tokenRequestsWaitingForPage_;
    // Completions and posts hold it: none of them reaches a bridge that is gone.
    AliveFlag alive_ = makeAliveFlag();
};

}  // namespace vhbr
