#include "SignalWatcher.hpp"

#include <signal.h>
#include <unistd.h>

#include <thread>

#include "ExitCode.hpp"

namespace vhbr::cli {

SignalWatcher::SignalWatcher(std::function<void(int)> onFirst) : onFirst_(std::move(onFirst)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Detached: it lives as long as the process and holds nothing that needs cleaning up.
    std::thread([this, set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (received_.exchange(sig) != 0) ::_exit(ExitCode::stoppedBy(sig));
            onFirst_(sig);
        }
    }).detach();
}

}  // namespace vhbr::cli
