#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vhbr::test {

class TempDir;

struct DevServerOptions {
    std::vector<std::string> tokens{"test-token"};
    bool autoApprove = false;
    std::optional<int> loginTtlSeconds;
    std::optional<int> partUrlTtlSeconds;
    std::filesystem::path dataDir;  // empty: a fresh temporary folder owned by the fixture
};

// A vhbr-devserver child process on a free loopback port, for tests that need the real service.
// Construct it on the test's main thread: the child is killed when the thread that started it ends.
class DevServer {
public:
    explicit DevServer(DevServerOptions options = {});
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    const std::string& baseUrl() const { return baseUrl_; }
    int port() const { return port_; }
    const std::filesystem::path& dataDir() const { return dataDir_; }

    // GET / POST with a JSON body; both parse the JSON reply and throw on a transport error or a non-2xx status.
    nlohmann::json get(const std::string& path);
    nlohmann::json post(const std::string& path, const nlohmann::json& body);

    nlohmann::json stats();
    nlohmann::json tasks();
    int requestCount(const std::string& route);
    int partPutCount(int partNumber);
    // The most part PUTs of any one multipart upload that the storage answered at once since the
    // start or the last reset.
    int partPutsInFlightPeak();
    void fault(const nlohmann::json& description);
    void approveLogin(const std::string& nonce);
    void rejectLogin(const std::string& nonce);
    std::optional<std::string> latestLoginNonce();
    // A presigned PUT URL of a whole object that accepts any Content-Type.
    std::string presign(const std::string& objectKey, int expiresInSeconds = 3600);
    void reset();
    void restart();  // same data folder; the port may change

private:
    void start();
    void stop();

    DevServerOptions options_;
    std::unique_ptr<TempDir> ownedDir_;
    std::filesystem::path dataDir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string baseUrl_;
};

}  // namespace vhbr::test
