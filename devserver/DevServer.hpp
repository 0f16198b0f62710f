#pragma once

#include "FaultInjector.hpp"
#include "LoginStore.hpp"
#include "Presigner.hpp"
#include "Storage.hpp"
#include "TaskStore.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vhbr::dev {

struct DevServerConfig {
    std::filesystem::path dataDir;
    std::vector<std::string> tokens;
    bool autoApprove = false;
    std::chrono::seconds loginTtl{300};
    std::chrono::seconds partUrlTtl{3600};  // short in tests of signatures that expire mid-upload
};

// The service API, the object storage, the web app and the /__dev control endpoints, all on one
// loopback origin.
class DevServer {
public:
    explicit DevServer(const DevServerConfig& config);

    int bind(int port);  // 0 picks a free port; returns the bound one
    void run();          // blocks until stop(), also across outages
    void stop();
    const std::string& origin() const { return origin_; }

private:
    struct Reply {
        int status = 200;
        nlohmann::json body = nlohmann::json::object();
    };
    using ApiFn = std::function<Reply(const httplib::Request&, const nlohmann::json& body)>;

    void api(const std::string& pattern, const std::string& route, bool bearer, ApiFn fn);
    void routeApi();
    void routeStorage();
    void routeControl();
    void routeUpdates();
    // Applies a taken fault; true when the request has been answered (or dropped) by it.
    bool applyFault(const std::optional<Fault>& fault, const httplib::Request& req, httplib::Response& res,
                    const std::function<void()>& drainBody);

    // Outages for tests of lost connectivity: dark closes the port for seconds (connections are
    // refused, then the same data is served again on the same port); stall holds every request but
    // the control ones, and the bodies being received, for seconds.
    void goDark(std::chrono::milliseconds duration);
    void stall(std::chrono::milliseconds duration);
    void waitWhileStalled() const;

    void storagePut(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
    Reply createTask(const nlohmann::json& body);
    Reply uploadSession(const std::string& taskId, const nlohmann::json& body);
    Reply uploadPartUrls(const std::string& taskId, const nlohmann::json& body);
    Reply completeMultipart(const std::string& taskId, const nlohmann::json& body);
    Reply uploadComplete(const std::string& taskId, const nlohmann::json& body);
    Reply stagedCleanup(const nlohmann::json& body);
    Task requireTask(const std::string& taskId) const;
    MultipartUpload requireUpload(const Task& task, const std::string& objectKey, const std::string& uploadId) const;

    DevServerConfig config_;
    std::string origin_;
    Storage storage_;
    Presigner presigner_;
    TaskStore tasks_;
    LoginStore logins_;
    FaultInjector faults_;
    // Completed multipart uploads by upload id: the request and the reply, so that a repeated
    // identical completion (a client that lost the reply) gets the same answer, as from S3.
    std::mutex completedMutex_;
    std::map<std::string, std::pair<nlohmann::json, Reply>> completed_;
    int port_ = 0;
    std::mutex outageMutex_;
    std::optional<std::chrono::steady_clock::time_point> darkUntil_;  // set while an outage closes the port
    std::atomic<std::chrono::steady_clock::rep> stallUntil_{0};       // steady-clock ticks
    httplib::Server svr_;
};

}  // namespace vhbr::dev
