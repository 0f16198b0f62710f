#include "DevServer.hpp"

#include "TempDir.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <httplib.h>

namespace vhbr::test {
using nlohmann::json;

namespace {

json parseReply(const httplib::Result& res, const std::string& what) {
    if (!res) throw std::runtime_error(what + ": " + httplib::to_string(res.error()));
    if (res->status < 200 || res->status > 299)
        throw std::runtime_error(what + ": status " + std::to_string(res->status) + " " + res->body);
    return res->body.empty() ? json() : json::parse(res->body);
}

}  // namespace

DevServer::DevServer(DevServerOptions options) : options_(std::move(options)) {
    if (options_.dataDir.empty()) {
        ownedDir_ = std::make_unique<TempDir>("vhbr-devserver");
        dataDir_ = ownedDir_->path();
    } else {
        dataDir_ = options_.dataDir;
    }
    start();
}

DevServer::~DevServer() { stop(); }

void DevServer::start() {
    std::vector<std::string> args{VHBR_BIN_DIR "/vhbr-devserver", "--port", "0", "--data-dir", dataDir_.string()};
    for (const auto& token : options_.tokens) args.insert(args.end(), {"--token", token});
    if (options_.autoApprove) args.emplace_back("--auto-approve");
    if (options_.loginTtlSeconds) args.insert(args.end(), {"--login-ttl", std::to_string(*options_.loginTtlSeconds)});
    if (options_.partUrlTtlSeconds)
        args.insert(args.end(), {"--part-url-ttl", std::to_string(*options_.partUrlTtlSeconds)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);

    // The first line is "listening on http://127.0.0.1:PORT".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{fds[0], POLLIN, 0};
        char buf[256];
        ssize_t n = 0;
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0 ||
            (n = ::read(fds[0], buf, sizeof buf)) <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    const std::string prefix = "listening on http://127.0.0.1:";
    if (line.rfind(prefix, 0) != 0 || line.find('\n') == std::string::npos) {
        stop();
        throw std::runtime_error("vhbr-devserver did not start (first line: \"" + line + "\")");
    }
    baseUrl_ = line.substr(0, line.find('\n')).substr(std::string("listening on ").size());
    port_ = std::stoi(baseUrl_.substr(baseUrl_.rfind(':') + 1));
}

void DevServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

void DevServer::restart() {
    stop();
    start();
}

json DevServer::get(const std::string& path) {
    httplib::Client client("127.0.0.1", port_);
    return parseReply(client.Get(path), "GET " + path);
}

json DevServer::post(const std::string& path, const json& body) {
    httplib::Client client("127.0.0.1", port_);
    return parseReply(client.Post(path, body.dump(), "application/json"), "POST " + path);
}

json DevServer::stats() { return get("/__dev/stats"); }

json DevServer::tasks() { return get("/__dev/tasks"); }

int DevServer::requestCount(const std::string& route) { return stats()["requests"].value(route, 0); }

int DevServer::partPutCount(int partNumber) { return stats()["partPuts"].value(std::to_string(partNumber), 0); }

int DevServer::partPutsInFlightPeak() {
    const json peaks = stats()["partPutsInFlightPeak"];
    int peak = 0;
    for (const auto& [upload, n] : peaks.items()) peak = std::max(peak, n.get<int>());
    return peak;
}

void DevServer::fault(const json& description) { post("/__dev/faults", description); }

void DevServer::approveLogin(const std::string& nonce) { post("/__dev/login/approve", {{"nonce", nonce}}); }

void DevServer::rejectLogin(const std::string& nonce) { post("/__dev/login/reject", {{"nonce", nonce}}); }

std::optional<std::string> DevServer::latestLoginNonce() {
    const json logins = get("/__dev/logins");
    if (logins.empty()) return std::nullopt;
    return logins.back()["nonce"].get<std::string>();
}

std::string DevServer::presign(const std::string& objectKey, int expiresInSeconds) {
    return post("/__dev/presign", {{"objectKey", objectKey}, {"expiresInSeconds", expiresInSeconds}})["url"];
}

void DevServer::reset() { post("/__dev/reset", json::object()); }

}  // namespace vhbr::test
