#pragma once
// An UploadManager wired to a real devserver, with recording stand-ins for the front end.

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "DevServer.hpp"
#include "Notifications/NotificationService.hpp"
#include "Platform/RunLoop.hpp"
#include "TempDir.hpp"
#include "Upload/UploadFileValidator.hpp"
#include "Upload/UploadManager.hpp"

namespace vhbr::test {

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
        auto m = UploadFileValidator::metadata(file);
        return UploadDraft{"draft", file, m.fileName, m.fileSize, m.mimeType, m.durationHint,
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
