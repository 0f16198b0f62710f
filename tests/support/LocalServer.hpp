#pragma once
// A small HTTP server on 127.0.0.1 inside the test process, for replies the devserver never gives.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace vhbr::test {

class LocalServer {
public:
    LocalServer();
    ~LocalServer();

    httplib::Server& server() { return server_; }
    // Call after registering handlers.
    void start();
    std::string url(const std::string& path = "") const;
    // Sleeps up to duration, returning early once the server is stopping (keeps teardown quick).
    void stall(std::chrono::milliseconds duration) const;

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
};

}  // namespace vhbr::test
