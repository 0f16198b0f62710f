// vhbr-devserver: the local substitute for the service, its object storage and its web app.
#include "DevServer.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "vhbr-devserver: %s\nusage: vhbr-devserver --port N --data-dir DIR [--token TOKEN]... "
                 "[--auto-approve] [--login-ttl SECONDS] [--part-url-ttl SECONDS]\n",
                 message);
    std::exit(2);
}

int parseNumber(const char* text, const char* option) {
    try {
        size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == std::strlen(text) && value >= 0) return value;
    } catch (const std::exception&) {
        // Not a number or out of range: the same usage message as any other bad value.
    }
    usage((std::string(option) + " needs a non-negative number").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    vhbr::dev::DevServerConfig config;
    int port = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage((arg + " needs a value").c_str());
            return argv[++i];
        };
        if (arg == "--port") port = parseNumber(value(), "--port");
        else if (arg == "--data-dir") config.dataDir = value();
        else if (arg == "--token") config.tokens.emplace_back(value());
        else if (arg == "--auto-approve") config.autoApprove = true;
        else if (arg == "--login-ttl") config.loginTtl = std::chrono::seconds(parseNumber(value(), "--login-ttl"));
        else if (arg == "--part-url-ttl")
            config.partUrlTtl = std::chrono::seconds(parseNumber(value(), "--part-url-ttl"));
        else usage(("unknown argument " + arg).c_str());
    }
    if (port < 0 || port > 65535) usage("--port is required");
    if (config.dataDir.empty()) usage("--data-dir is required");

    // Block the stop signals in every thread; one thread waits for them and stops the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        std::filesystem::create_directories(config.dataDir);
        vhbr::dev::DevServer server(config);
        const int bound = server.bind(port);
        std::thread([&server, stopSignals] {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            server.stop();
            // Idle keep-alive connections can hold the workers for seconds; every state file is
            // written atomically, so leaving without them loses nothing.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            std::_Exit(0);
        }).detach();
        std::printf("listening on http://127.0.0.1:%d\n", bound);
        std::fflush(stdout);
        server.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vhbr-devserver: %s\n", e.what());
        return 1;
    }
    return 0;
}
