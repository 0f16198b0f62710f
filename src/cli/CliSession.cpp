#include "CliSession.hpp"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "Auth/DesktopLoginService.hpp"
#include "Auth/XdgBrowserOpener.hpp"
#include "ExitCode.hpp"
#include "Platform/Environment.hpp"
#include "Platform/RateLimiter.hpp"
#include "Platform/UserDefaults.hpp"
#include "ProgressReporter.hpp"
#include "Upload/PartRange.hpp"
#include "Upload/UploadFileValidator.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr::cli {

namespace {

std::optional<std::string> environmentToken() {
    const char* token = std::getenv("VHBR_TOKEN");
    if (!token || !*token) return std::nullopt;
    return std::string(token);
}

class TerminalPrompt : public ResumePrompt {
public:
    explicit TerminalPrompt(bool yes) : yes_(yes) {}
    void confirmResume(const std::string& message, const std::string& informativeText,
                       std::function<void(bool)> answer) override {
        answer(ask(message, informativeText));
    }

private:
    bool ask(const std::string& message, const std::string& informativeText) const {
        std::fprintf(stderr, "%s\n%s\n", message.c_str(), informativeText.c_str());
        if (yes_) return true;
        if (!::isatty(STDIN_FILENO)) {
            std::fprintf(stderr, "Not resuming: no terminal to answer on (use --yes).\n");
            return false;
        }
        std::fprintf(stderr, "[R]esume or [N]ot Now? ");
        std::string answer;
        std::getline(std::cin, answer);
        return !answer.empty() && (answer[0] == 'r' || answer[0] == 'R');
    }

    bool yes_;
};

// Shows the sign-in page address on the terminal, then tries the desktop's browser too.
class TerminalBrowserOpener : public BrowserOpener {
public:
    void open(const std::string& url, NotOpened notOpened) override {
        std::fprintf(stderr, "Open this page to approve the sign-in:\n  %s\n", url.c_str());
        xdg_.open(url, std::move(notOpened));
    }

private:
    XdgBrowserOpener xdg_;
};

}  // namespace

CliSession::CliSession(CliOptions options)
    : options_(std::move(options)),
      config_(AppConfig::current(processEnvironment(), UserDefaults::standard())),
      tokens_(environmentToken(), options_.tokenCommand) {
    if (options_.verbose) log_ = std::make_unique<StreamLogSink>(stderr);
    if (options_.limitRate) RateLimiter::uploads().setRate(*options_.limitRate);
}

CliSession::~CliSession() {
    manager_.reset();  // a quit: jobs stop, their state stays for `resume`
    uploader_.reset();
}

UploadManager& CliSession::manager() {
    if (!manager_) {
        uploader_ = std::make_unique<BackgroundPartUploader>("com.velvetharbor.linux.upload.parts");
        UploadManager::Options managerOptions;
        managerOptions.log = log_.get();
        managerOptions.networkWaitLimit = options_.networkWait;
        manager_ = std::make_unique<UploadManager>(loop_, config_, std::nullopt, std::nullopt, *uploader_,
                                                   UserDefaults::standard(), managerOptions);
        if (tokens_.hasSource()) manager_->setTokenProvider(&tokens_);
    }
    return *manager_;
}

void CliSession::quit() {
    quitting_ = true;
    loginStop_.request_stop();
    loop_.post([] {});  // wake the loop so it sees the flag
}

int CliSession::waitForUploads(const std::vector<std::shared_ptr<UploadTaskModel>>& models) {
    ProgressReporter reporter(stdout, stderr, ::isatty(STDOUT_FILENO) != 0);
    for (const auto& model : models) reporter.track(model);
    loop_.runUntil([&] { return quitting_ || (reporter.allFinished() && manager().runningJobCount() == 0); },
                   std::chrono::hours(24 * 365));
    if (quitting_) {
        std::fprintf(stderr, "Stopped. Unfinished uploads continue with: velvetharbor-cli resume\n");
        return ExitCode::kInterrupted;
    }
    return reporter.allCompleted() ? ExitCode::kSuccess : ExitCode::kFailure;
}

int CliSession::upload() {
    auto& engine = manager();
    std::vector<std::shared_ptr<UploadTaskModel>> started;
    bool refused = false;
    for (const auto& file : options_.files) {
        try {
            UploadDraft draft = engine.makeDraft(UploadFileValidator::metadata(file));
            if (options_.intent) draft.intent = *uploadIntentFromRaw(*options_.intent);
            if (options_.sourceLanguage) draft.sourceLanguage = *options_.sourceLanguage;
            if (options_.targetLanguage) draft.targetLanguage = *options_.targetLanguage;
            // Refused, start() raises an alert; started, the upload is the list's first row (a
            // saved upload of this file goes on in the row it already had).
            engine.setUploadAlert(std::nullopt);
            engine.start(draft);
            if (const auto& alert = engine.uploadAlert()) throw AppError(alert->message);
            started.push_back(engine.activeUploads().front());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Cannot start upload: %s\n", e.what());
            refused = true;
        }
    }
    const int status = waitForUploads(started);
    return status == ExitCode::kSuccess && refused ? ExitCode::kFailure : status;
}

int CliSession::resume() {
    auto& engine = manager();
    if (engine.resumableStates().empty()) {
        std::printf("Nothing to resume.\n");
        return ExitCode::kSuccess;
    }
    TerminalPrompt prompt(options_.yes);
    engine.offerResumeIfNeeded(prompt);
    // Declined, the saved uploads stay listed as interrupted: nothing to wait for.
    std::vector<std::shared_ptr<UploadTaskModel>> resumed;
    for (const auto& upload : engine.activeUploads())
        if (upload->status().kind() != UploadTaskStatus::Kind::interrupted) resumed.push_back(upload);
    return waitForUploads(resumed);
}

int CliSession::list() {
    for (const auto& state : UploadStateStore().loadIncompleteStates()) {
        std::printf("%s %s %lld %zu/%lld\n", state.clientRequestId.c_str(), state.media.fileName.c_str(),
                    static_cast<long long>(state.media.fileSize), state.completedParts.size(),
                    static_cast<long long>(partCount(state.media.fileSize)));
    }
    return ExitCode::kSuccess;
}

int CliSession::login() {
    TerminalBrowserOpener browser;
    DesktopLoginService service(config_, std::nullopt, DesktopLoginService::kPollIntervalSeconds, browser);
    try {
        std::printf("%s\n", service.start(loginStop_.get_token()).c_str());
        return ExitCode::kSuccess;
    } catch (const CancelledError&) {
        return ExitCode::kInterrupted;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Sign-in failed: %s\n", e.what());
        return ExitCode::kFailure;
    }
}

}  // namespace vhbr::cli
