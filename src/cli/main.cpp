// velvetharbor-cli: uploads media from terminals and scripts on the desktop app's engine.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "CliOptions.hpp"
#include "CliSession.hpp"
#include "ExitCode.hpp"
#include "SignalWatcher.hpp"
#include "Support/BundleInfo.hpp"

namespace ExitCode = vhbr::cli::ExitCode;

int main(int argc, char** argv) {
    // A full disk or file-size limit must fail a write with an error, not kill the process.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    // The version of the installed tree this program runs from (its Info.json).
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("velvetharbor-cli %s\n", vhbr::BundleInfo::main().shortVersionString().c_str());
        return ExitCode::kSuccess;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::fputs(vhbr::cli::kHelp, stdout);
        return ExitCode::kSuccess;
    }

    vhbr::cli::CliOptions options;
    try {
        options = vhbr::cli::parseCliOptions({argv + 1, argv + argc});
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "velvetharbor-cli: %s\n%s", e.what(), vhbr::cli::kUsage);
        return ExitCode::kUsage;
    }

    std::atomic<vhbr::cli::CliSession*> current{nullptr};
    vhbr::cli::SignalWatcher signals([&current](int) {
        if (auto* session = current.load()) session->quit();
    });
    const std::string command = options.command;
    try {
        vhbr::cli::CliSession session(std::move(options));
        current = &session;
        struct Unregister {
            std::atomic<vhbr::cli::CliSession*>& current;
            ~Unregister() { current = nullptr; }
        } unregister{current};
        const int status = command == "upload"   ? session.upload()
                           : command == "resume" ? session.resume()
                           : command == "list"   ? session.list()
                                                 : session.login();
        // Stopped by a signal: the exit status a shell expects of it (128 + its number).
        return status == ExitCode::kInterrupted && signals.received() != 0
                   ? ExitCode::stoppedBy(signals.received())
                   : status;
    } catch (const std::exception& e) {
        // What the commands do not handle themselves, e.g. a data folder that cannot be created.
        std::fprintf(stderr, "velvetharbor-cli: %s\n", e.what());
        return ExitCode::kFailure;
    }
}
