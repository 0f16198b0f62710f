#pragma once
// The web view that hosts the web app, as the app layer sees it. The GTK front end implements it
// over WebKitGTK; the tests implement it with a recording shell. Keeping the view behind this
// interface lets every decision about the bridge run and be tested without a display.
//
// Threads: main thread only, for every member and every completion. A completion is delivered
// later from the main loop, never inline from the call that started it.

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Support/Errors.hpp"

namespace vhbr {

// A bridge script that threw in the page; what() is the web view's description, unchanged.
class WebShellError : public Error {
public:
    using Error::Error;
};

// The outcome of a bridge script: the value its promise resolved to (null for undefined), or the
// page's own description of what it threw.
struct ScriptResult {
    nlohmann::json value;
    std::optional<std::string> error;
};

// Who posted a script message, as the web view saw it when the message arrived: the origin of
// the posting document ("null" for an opaque one) and whether it is the page's main frame.
struct ScriptMessageSource {
    std::string origin;
    bool mainFrame = false;
};

class WebShell {
public:
    using ScriptCompletion = std::function<void(ScriptResult)>;

    virtual ~WebShell() = default;

    // Loads url with the protocol's cache policy; a load with no progress for timeout fails.
    virtual void load(const std::string& url, std::chrono::seconds timeout) = 0;
    // Reloads the current page.
    virtual void reload() = 0;
    // The address of the page shown or of the load under way; none before the first page.
    virtual std::optional<std::string> currentURL() const = 0;
    // The address of the page whose document is shown: a load still pending does not count, so
    // that a page of another site cannot pass for the one it is navigating to.
    virtual std::optional<std::string> committedURL() const = 0;
    // Runs script as the body of an async function in the main frame and the page's own world,
    // with each key of arguments (a JSON object) bound as a parameter, and awaits its promise.
    virtual void callAsyncJavaScript(const std::string& script, const nlohmann::json& arguments,
                                     ScriptCompletion completion) = 0;
    // Every completion runs exactly once: a shell that goes away first completes what is pending
    // with an error.
};

// Brings the application and its main window titled "Velvetharbor" to the front; does nothing
// when that window no longer exists. Main thread only.
class WindowPresenter {
public:
    virtual ~WindowPresenter() = default;
    virtual void presentMainWindow() = 0;
};

}  // namespace vhbr
