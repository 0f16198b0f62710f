#include "WebSandbox.hpp"

#include <glib.h>
#include <unistd.h>

#include <mutex>

namespace vhbr::gtk {

bool WebSandbox::canRun(const std::string& bubblewrap, const std::string& dbusProxy, std::string& why) {
    if (::access(dbusProxy.c_str(), X_OK) != 0) {
        why = dbusProxy + " is missing";
        return false;
    }
    const char* argv[] = {bubblewrap.c_str(),
                          "--die-with-parent",
                          "--unshare-pid",
                          "--unshare-uts",
                          "--unshare-ipc",
                          "--unshare-net",
                          "--ro-bind",
                          "/",
                          "/",
                          "--proc",
                          "/proc",
                          "--dev",
                          "/dev",
                          "true",
                          nullptr};
    gchar* errors = nullptr;
    gint status = 0;
    GError* error = nullptr;
    const bool spawned = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL,
                                      nullptr, nullptr, nullptr, &errors, &status, &error);
    if (!spawned) {
        why = error->message;
        g_error_free(error);
        return false;
    }
    const bool ran = g_spawn_check_wait_status(status, nullptr);
    if (!ran) {
        why = errors && *errors ? g_strstrip(errors) : "bubblewrap failed";
        // One line in the log: bubblewrap's first.
        if (const auto newline = why.find('\n'); newline != std::string::npos) why.resize(newline);
    }
    g_free(errors);
    return ran;
}

bool WebSandbox::enabled(LogSink* log) {
    static std::once_flag once;
    static bool answer = false;
    std::call_once(once, [&] {
        std::string why;
        answer = canRun(kBubblewrap, kDBusProxy, why);
        if (!answer && log)
            log->write(LogLevel::warning,
                       "The web content runs without a sandbox: bubblewrap cannot run here (" + why + ")");
    });
    return answer;
}

}  // namespace vhbr::gtk
