#pragma once
// An UploadManager wired to a real devserver, with recording stand-ins for the front end.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "DevServer.hpp"
#include "Notifications/NotificationService.hpp"
#include "Platform/RunLoop.hpp"
#include "TempDir.hpp"
#include "Upload/UploadFileValidator.hpp"
#include "Upload/UploadManager.hpp"

namespace vhbr::test {

using Status = UploadTaskStatus;
inline constexpr std::uint64_t kMiB = 1024 * 1024;

class StaticTokenProvider : public TokenProvider {
public:
    explicit StaticTokenProvider(std::string token) : token_(std::move(token)) {}
    std::future<std::string> idToken() override {
        std::promise<std::string> p;
        p.set_value(token_);
        return p.get_future();
    }

private:
    std::string token_;
};

struct RecordingNavigator : WebNavigator {
    int windowOpens = 0;
    std::vector<std::string> tasks;
    void openMainWindow() override { ++windowOpens; }
    void navigateToTask(const std::string& id) override { tasks.push_back(id); }
};

struct RecordingNotifications : NotificationService {
    std::vector<NotificationContent> posted;
    void notifyUploadCompleted(const std::string& fileName, const std::string& taskID) override {
        posted.push_back(uploadCompletedContent(fileName, taskID));
    }
};

struct RecordingBadge : BadgeSink {
    std::vector<std::optional<std::string>> values;
    void setBadge(const std::optional<std::string>& text) override { values.push_back(text); }
};

// Watches a folder from its own thread while an upload runs: the most bytes its files held at once
// and every file name seen.
class FolderWatcher {
public:
    explicit FolderWatcher(std::filesystem::path root)
        : thread_([this, root = std::move(root)](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  sample(root);
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    std::uintmax_t peakBytes() const { return peak_; }
    std::set<std::string> namesSeen() {
        std::lock_guard lock(mutex_);
        return names_;
    }

private:
    void sample(const std::filesystem::path& root) {
        std::uintmax_t bytes = 0;
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code gone;  // a part removed while it is looked at
            if (!it->is_regular_file(gone)) continue;
            bytes += std::filesystem::file_size(it->path(), gone) * !gone;
            std::lock_guard lock(mutex_);
            names_.insert(it->path().filename().string());
        }
        peak_ = std::max<std::uintmax_t>(peak_, bytes);
    }

    std::atomic<std::uintmax_t> peak_{0};
    std::mutex mutex_;
    std::set<std::string> names_;
    std::jthread thread_;  // last: stops before what it fills goes away
};

class UploadManagerTest : public ::testing::Test {
protected:
    UploadManagerTest() : uploader("com.velvetharbor.linux.upload.parts"), defaults(dir / "defaults.json") {}

    std::filesystem::path stateDir() const { return dir / "Uploads"; }
    std::filesystem::path partDir() const { return dir / "UploadParts"; }

    // Folders in the test's temporary folder, quick back-off, recording front-end stand-ins.
    UploadManager::Options managerOptions() {
        UploadManager::Options options;
        options.partDirectory = partDir();
        options.lockDirectory = dir / "Locks";
        options.backoffBase = std::chrono::milliseconds(20);
        // Lost connectivity fails at once here, as before uploads learned to wait for the network;
        // the tests of waiting set their own limit.
        options.networkWaitLimit = std::chrono::milliseconds(0);
        options.networkRetryFirst = std::chrono::milliseconds(100);
        options.networkRetryCap = std::chrono::milliseconds(500);
        options.notifications = &notifications;
        options.badge = &badge;
        return options;
    }

    std::unique_ptr<UploadManager> makeManager(bool signedIn = true) {
        auto manager = std::make_unique<UploadManager>(loop, AppConfig{server.baseUrl() + "/app", server.baseUrl()},
                                                       APIClient(server.baseUrl(), &session),
                                                       UploadStateStore(stateDir()), uploader, defaults,
                                                       managerOptions());
        if (signedIn) manager->setTokenProvider(&tokens);
        manager->setNavigator(&navigator);
        return manager;
    }

    UploadDraft draftFor(const std::filesystem::path& file) {
        return UploadDraft{"draft", UploadFileValidator::metadata(file).media,
                           UploadIntent::subtitle, "auto", "en"};
    }

    std::filesystem::path mediaFile(const std::string& name, std::uint64_t size, unsigned seed = 1) {
        return writePatternFile(dir / name, size, seed);
    }

    // Runs the main loop until every job of manager has ended.
    void waitForJobs(UploadManager& manager, std::chrono::seconds timeout = std::chrono::seconds(60)) {
        ASSERT_TRUE(loop.runUntil([&] { return manager.runningJobCount() == 0; }, timeout));
    }

    std::optional<nlohmann::json> storedTask(const std::string& taskId) {
        for (const auto& task : server.tasks())
            if (task["id"] == taskId) return task;
        return std::nullopt;
    }

    // The progress that model shows now and after each of its changes.
    static std::shared_ptr<std::vector<double>> recordProgress(UploadTaskModel& model) {
        auto values = std::make_shared<std::vector<double>>(1, model.progress());
        model.changed.connect([values, &model] { values->push_back(model.progress()); });
        return values;
    }

    // Progress never falls, starts at floor or above and stays at or below ceiling until it ends at 1.
    static void expectProgressRisesToCompletion(const std::vector<double>& values, double floor,
                                                double ceiling) {
        ASSERT_TRUE(std::is_sorted(values.begin(), values.end()));
        EXPECT_GE(values.front(), floor);
        ASSERT_LT(values.front(), 1.0);
        EXPECT_EQ(values.back(), 1.0);
        const auto finished = std::lower_bound(values.begin(), values.end(), 1.0);
        EXPECT_LE(*std::prev(finished), ceiling);
    }

    std::vector<std::filesystem::path> filesUnder(const std::filesystem::path& root) {
        std::vector<std::filesystem::path> files;
        if (!std::filesystem::exists(root)) return files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            if (entry.is_regular_file()) files.push_back(entry.path());
        return files;
    }

    TempDir dir;
    RunLoop loop;
    DevServer server;
    UrlSession session;
    BackgroundPartUploader uploader;
    UserDefaults defaults;
    StaticTokenProvider tokens{"test-token"};
    RecordingNavigator navigator;
    RecordingNotifications notifications;
    RecordingBadge badge;
};

}  // namespace vhbr::test
