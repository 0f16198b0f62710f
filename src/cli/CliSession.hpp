#pragma once
// One run of velvetharbor-cli: the engine on this thread's run loop, with the same state folders
// as the desktop app, so either can resume the other's uploads.

#include <memory>
#include <vector>

#include "CliOptions.hpp"
#include "CommandTokenProvider.hpp"
#include "Platform/RunLoop.hpp"
#include "Support/Log.hpp"
#include "Upload/BackgroundPartUploader.hpp"
#include "Upload/UploadManager.hpp"

namespace vhbr::cli {

class CliSession {
public:
    explicit CliSession(CliOptions options);
    ~CliSession();

    // Each returns the process exit status.
    int upload();
    int resume();
    int list();
    int login();

    // Any thread: stop like a quit (jobs end, state files stay).
    void quit();

private:
    UploadManager& manager();
    int waitForUploads(const std::vector<std::shared_ptr<UploadTaskModel>>& models);

    CliOptions options_;
    RunLoop loop_;
    AppConfig config_;
    CommandTokenProvider tokens_;
    std::unique_ptr<LogSink> log_;  // --verbose only
    std::atomic<bool> quitting_{false};
    std::stop_source loginStop_;
    std::unique_ptr<BackgroundPartUploader> uploader_;
    std::unique_ptr<UploadManager> manager_;
};

}  // namespace vhbr::cli
