#include "LocalServer.hpp"

#include <stdexcept>

namespace vhbr::test {

LocalServer::LocalServer() = default;

LocalServer::~LocalServer() {
    stopping_ = true;
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void LocalServer::start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("could not bind a local test server");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::string LocalServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalServer::stall(std::chrono::milliseconds duration) const {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!stopping_ && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace vhbr::test
