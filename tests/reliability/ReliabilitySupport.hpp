#pragma once
// Shared pieces of the reliability suite: the upload manager fixture with short time-outs, and a
// runner for velvetharbor-cli as a child process (own environment, optional resource limits).

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../upload/UploadManagerFixture.hpp"

namespace vhbr::test {

struct ChildOptions {
    ChildOptions(std::vector<std::pair<std::string, std::string>> env = {}) : environment(std::move(env)) {}

    std::vector<std::pair<std::string, std::string>> environment;  // the child's whole environment
    std::optional<rlim_t> fileSizeLimit;                           // RLIMIT_FSIZE in the child only
    std::optional<uid_t> user;                                     // run as this user (needs root)
    std::chrono::seconds timeout{60};
};

struct ChildResult {
    int exitCode = -1;   // -1 when the child did not exit normally
    int signal = 0;      // the signal that ended it, if any (SIGKILL after the time-out)
    std::string output;  // stdout and stderr, interleaved
};

ChildResult runProgram(const std::vector<std::string>& argv, const ChildOptions& options);
ChildResult runCli(const std::vector<std::string>& args, const ChildOptions& options);

// An environment for the CLI: service URLs, token and XDG folders under home.
std::vector<std::pair<std::string, std::string>> cliEnvironment(const std::string& apiUrl,
                                                                const std::filesystem::path& home,
                                                                const std::string& token);

// True when any regular file under root holds needle.
bool anyFileContains(const std::filesystem::path& root, const std::string& needle);

// Resident memory of this process, in bytes.
std::uint64_t residentBytes();

// True when built with AddressSanitizer or ThreadSanitizer (memory figures mean little then).
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

// The upload manager fixture, with short idle time-outs for API requests, single PUTs and parts.
class ReliabilityTest : public UploadManagerTest {
protected:
    std::unique_ptr<UploadManager> makeFastManager(std::chrono::milliseconds timeout,
                                                   const std::string& apiUrl = {}) {
        if (!fastUploader_ || fastTimeout_ != timeout) {
            fastUploader_ =
                std::make_unique<BackgroundPartUploader>("com.velvetharbor.linux.upload.parts", timeout);
            fastTimeout_ = timeout;
        }
        const std::string base = apiUrl.empty() ? server.baseUrl() : apiUrl;
        auto manager = std::make_unique<UploadManager>(
            loop, AppConfig{base + "/app", base}, APIClient(base, &session, timeout),
            UploadStateStore(stateDir()), *fastUploader_, defaults, managerOptions());
        manager->setTokenProvider(&tokens);
        manager->setNavigator(&navigator);
        return manager;
    }

    // A relaunch: a new manager loads the states on disk and resumes them all.
    std::unique_ptr<UploadManager> relaunchAndResume(std::chrono::milliseconds timeout,
                                                     std::chrono::seconds wait = std::chrono::seconds(60)) {
        auto manager = makeFastManager(timeout);
        manager->resumeAll();
        waitForJobs(*manager, wait);
        return manager;
    }

    // The stored task of the file called fileName, if exactly one exists.
    std::optional<nlohmann::json> onlyTaskFor(const std::string& fileName) {
        std::optional<nlohmann::json> found;
        for (const auto& task : server.tasks()) {
            if (task.value("fileName", "") != fileName) continue;
            if (found) return std::nullopt;
            found = task;
        }
        return found;
    }

    std::unique_ptr<BackgroundPartUploader> fastUploader_;
    std::chrono::milliseconds fastTimeout_{0};
};

}  // namespace vhbr::test
