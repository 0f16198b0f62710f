#include "Auth/XdgBrowserOpener.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace vhbr {

void XdgBrowserOpener::open(const std::string& url, NotOpened notOpened) {
    const auto report = [&notOpened](const std::string& reason) {
        if (notOpened) notOpened(reason);
    };
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return report("xdg-open could not be started");
    // A session of its own: a Ctrl-C meant for the CLI must not reach the browser launcher. And
    // a clean signal state: what this process blocks or ignores (its stop signals, SIGPIPE) would
    // otherwise be inherited by the browser.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, "xdg-open", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) return report("xdg-open is not installed");

    // xdg-open may wait for the browser; reap it whenever it ends without holding anyone up.
    try {
        std::thread([pid, notOpened = std::move(notOpened)] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            // xdg-open says by its status whether it found a browser (3: none, 4: it failed).
            if (notOpened && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
                notOpened("xdg-open found no program to open the page");
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: the finished launcher stays a zombie until the app exits, which is harmless.
    }
}

}  // namespace vhbr
