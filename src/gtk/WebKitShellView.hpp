#pragma once
// The WebKit web view that hosts the web app, and the answers to what it asks: policies,
// new windows, file inputs, load results and the web app's script messages. It only carries
// things across: every decision comes from the app layer. Navigations, responses and new windows
// are put to ShellWebPolicy as its own values and its answer is carried out as it stands; what
// happens in the page reaches the app through the hooks below.
//
// The bridge's two scripts (WebBridge::pageScript and relayScript) go into every frame, the relay
// in a world of the app's own, and each envelope the relay posts is read by WebBridge::unwrap.
// So a frame of another site cannot speak for the web app, whatever it does in its own world.
//
// The view shows no WebKit dialogs of its own: a page's alert, confirm and prompt are answered
// as dismissed (leaving a page is allowed), and HTTP authentication gets no credentials.
//
// Threads: main thread only (GTK and WebKit are not thread-safe). WebKit calls the hooks from
// its signal handlers; load results and script messages are passed on from an idle callback,
// never inline, so the model is never changed from inside a WebKit callback, and nothing arrives
// after the view is gone. What a message's sender is, is taken when the message arrives.

#include <gtkmm.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Platform/MainExecutor.hpp"
#include "ShellState.hpp"
#include "ShellWebPolicy.hpp"
#include "WebShell.hpp"

namespace vhbr::gtk {

class WebKitShellView final : public WebShell {
public:
    struct Hooks {
        std::function<void(const nlohmann::json& body, const ScriptMessageSource& source)> scriptMessage;
        std::function<void()> loadFinished;
        std::function<void(const NavigationFailure& failure)> loadFailed;
        // A navigation became a download: the hook connects to the download's signals at once
        // (WebKit asks for its destination next) and keeps it until it ends.
        std::function<void(WebKitDownload* download)> downloadStarted;
    };

    // userAgentApplication is "VelvetharborMac" and version the short version string: WebKit
    // appends "VelvetharborMac/<version>" to its own user agent.
    WebKitShellView(MainExecutor& main, Gtk::Window& parent, const std::string& userAgentVersion,
                    Hooks hooks);
    ~WebKitShellView() override;
    WebKitShellView(const WebKitShellView&) = delete;
    WebKitShellView& operator=(const WebKitShellView&) = delete;

    Gtk::Widget& widget() { return *widget_; }

    void load(const std::string& url, std::chrono::seconds timeout) override;
    void reload() override;
    std::optional<std::string> currentURL() const override;
    std::optional<std::string> committedURL() const override { return committedURL_; }
    // Arguments are passed as strings, numbers and booleans; completion runs later, from the loop.
    void callAsyncJavaScript(const std::string& script, const nlohmann::json& arguments,
                             ScriptCompletion completion) override;
    void zoomIn();
    void zoomOut();
    void zoomReset();

private:
    struct Callbacks;
    friend struct Callbacks;

    gboolean decideAction(WebKitPolicyDecision* decision);
    gboolean decideResponse(WebKitPolicyDecision* decision);
    static void carryOut(WebKitPolicyDecision* decision, ShellWebPolicy::Decision answer);
    void chooseFiles(WebKitFileChooserRequest* request);
    // Answers the file input that is waiting, with the chosen paths or as cancelled (no paths).
    void answerFileRequest(const std::vector<std::string>& paths);
    void installBridge();
    // Runs fn from an idle callback unless this view is gone by then.
    void later(std::function<void()> fn);
    void failLoad(NavigationFailure failure);
    // A load that makes no progress for the time-out is stopped and reported as failed.
    void watchProgress();

    MainExecutor& main_;
    Gtk::Window& parent_;
    Hooks hooks_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    WebKitWebContext* context_ = nullptr;
    WebKitUserContentManager* contentManager_ = nullptr;
    WebKitWebView* view_ = nullptr;
    GCancellable* cancellable_ = g_cancellable_new();  // cancels the pending bridge scripts
    Gtk::Widget* widget_ = nullptr;
    Glib::RefPtr<Gtk::FileChooserNative> chooser_;
    WebKitFileChooserRequest* fileRequest_ = nullptr;  // the file input waiting for chooser_
    std::optional<std::string> committedURL_;
    bool failedLoad_ = false;  // the current load reported a failure
    std::chrono::seconds loadTimeout_{60};
    sigc::connection stallTimer_;
    bool stalled_ = false;  // the current load was stopped by the time-out
};

}  // namespace vhbr::gtk
