#pragma once
// Whether the web content runs in WebKit's bubblewrap sandbox: the web process then sees only
// the system's files and its own data, never the user's home, so a renderer exploit in any page
// shown in the view cannot read the user's files. File inputs go through this process's chooser
// and downloads are written by the network process, so nothing is added to the sandbox.
//
// Bubblewrap cannot run everywhere (containers, kernels that restrict user namespaces); WebKit
// then fails to start its web process and the window stays blank. So the app tries bubblewrap
// once at start-up with the namespaces WebKit asks for, and runs the web content unsandboxed,
// saying so once in the log, when that fails.
//
// Threads: main thread; enabled() blocks for the probe (a few milliseconds) on its first call.

#include <string>

#include "Support/Log.hpp"

namespace vhbr::gtk {

class WebSandbox {
public:
    // The programs WebKit runs for its sandbox (its build fixes these paths).
    static constexpr const char* kBubblewrap = "/usr/bin/bwrap";
    static constexpr const char* kDBusProxy = "/usr/bin/xdg-dbus-proxy";

    // Decided on the first call, before any web view exists, and the same for the rest of the
    // process: canRun() with WebKit's programs. The first call logs to log when the answer is no.
    static bool enabled(LogSink* log);

    // True when bubblewrap starts a command in new pid, uts, ipc and network namespaces over a
    // read-only root, and the D-Bus proxy can be executed. Otherwise false, with bubblewrap's own
    // words (or what is missing) in why.
    static bool canRun(const std::string& bubblewrap, const std::string& dbusProxy, std::string& why);
};

}  // namespace vhbr::gtk
