#include "Upload/UploadManager.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "Platform/AppPaths.hpp"
#include "Notifications/NotificationService.hpp"
#include "Platform/AtomicFile.hpp"
#include "Support/Percent.hpp"
#include "Support/Uuid.hpp"
#include "Upload/SourceBookmark.hpp"
#include "Upload/UploadJobLock.hpp"

namespace vhbr {

namespace {

constexpr std::size_t kRecentTaskCount = 5;
const char* const kLastIntentKey = "VHBR_LAST_INTENT";
const char* const kLastSourceKey = "VHBR_LAST_SOURCE_LANGUAGE";
const char* const kLastTargetKey = "VHBR_LAST_TARGET_LANGUAGE";

std::vector<UploadState> loadStatesOrNone(const UploadStateStore& store, const Log& log) {
    try {
        return store.loadIncompleteStates(log);
    } catch (const std::exception& e) {
        log.warning(std::string("Unfinished uploads could not be read: ") + e.what());
        return {};
    }
}

}  // namespace

struct UploadManager::Job {
    std::jthread thread;
};

UploadManager::UploadManager(MainExecutor& main, AppConfig config, std::optional<APIClient> apiClient,
                             std::optional<UploadStateStore> stateStore, BackgroundPartUploader& partUploader,
                             UserDefaults& defaults, Options options)
    : main_(main),
      config_(std::move(config)),
      apiClient_(apiClient ? std::move(*apiClient) : APIClient(config_.apiBaseURL)),
      stateStore_(stateStore ? std::move(*stateStore) : UploadStateStore()),
      partUploader_(partUploader),
      defaults_(defaults),
      options_(withDefaultFolders(std::move(options))),
      log_(options_.log),
      runner_(apiClient_, stateStore_, partUploader_,
              {options_.lockDirectory, options_.backoffBase, options_.networkRetryFirst, options_.networkRetryCap,
               options_.networkWaitLimit},
              log_, runnerHost()) {
    resumableStates_ = loadStatesOrNone(stateStore_, log_);
    if (!resumableStates_.empty()) log_.info(resumeInformativeText(resumableStates_.size()));
    removeLeftoverPartFolders();
}

UploadManager::Options UploadManager::withDefaultFolders(Options options) {
    if (options.partDirectory.empty()) options.partDirectory = uploadPartsDirectory();
    if (options.lockDirectory.empty()) options.lockDirectory = appDataDirectory() / "Locks";
    return options;
}

UploadRunner::Host UploadManager::runnerHost() {
    return {[this](std::function<void()> fn) { onMain(std::move(fn)); },
            [this](const ModelPtr& model, const std::string& message) { failJob(model, message); },
            [this](const ModelPtr& model, const std::string& taskId, const std::string& fileName) {
                completeJob(model, taskId, fileName);
            },
            [this] { updateDockBadge(); }};
}

void UploadManager::removeLeftoverPartFolders() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(options_.partDirectory, error)) {
        const std::string name = entry.path().filename().string();
        if (!isUsableAsFileName(name)) continue;
        try {
            // Locked means an upload of an earlier version (another process) still sends these parts.
            UploadJobLock lock(options_.lockDirectory, name);
            std::error_code failed;
            std::filesystem::remove_all(entry.path(), failed);
            if (failed) log_.warning("Leftover part files of " + name + " not removed: " + failed.message());
        } catch (const std::exception&) {
        }
    }
    std::filesystem::remove(options_.partDirectory, error);  // only when nothing is left in it
}

UploadManager::~UploadManager() {
    // Quitting is not cancelling: jobs stop where they are and keep their state files.
    runner_.quit();
    for (auto& [id, job] : jobs_) job->thread.request_stop();
    jobs_.clear();
    validations_.clear();
    *alive_ = false;
}

void UploadManager::onMain(std::function<void()> fn) {
    main_.post([alive = alive_, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

void UploadManager::setPendingDraft(std::optional<UploadDraft> draft) {
    pendingDraft_ = std::move(draft);
    pendingDraftChanged.emit();
}

void UploadManager::setUploadAlert(std::optional<UploadAlert> alert) {
    uploadAlert_ = std::move(alert);
    uploadAlertChanged.emit();
}

void UploadManager::enqueueFiles(const std::vector<std::filesystem::path>& files) {
    if (files.empty()) return;
    if (navigator_) navigator_->openMainWindow();
    validations_.remove_if(
        [](auto& f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    for (const auto& file : files) {
        validations_.push_back(std::async(std::launch::async, [this, file] {
            try {
                auto metadata = UploadFileValidator::metadata(file);
                onMain([this, metadata] { prepareDraft(metadata); });
            } catch (const std::exception& e) {
                onMain([this, message = std::string(e.what())] {
                    setUploadAlert(UploadAlert::make("Cannot start upload", message));
                });
            }
        }));
    }
}

void UploadManager::prepareDraft(const UploadFileMetadata& metadata) { setPendingDraft(makeDraft(metadata)); }

UploadDraft UploadManager::makeDraft(const UploadFileMetadata& metadata) const {
    UploadDraft draft;
    draft.id = makeUuid();
    draft.media = metadata.media;
    draft.intent =
        defaults_.string(kLastIntentKey) == "translate" ? UploadIntent::translate : UploadIntent::subtitle;
    draft.sourceLanguage = defaults_.string(kLastSourceKey).value_or("auto");
    draft.targetLanguage = defaults_.string(kLastTargetKey).value_or("en");
    return draft;
}

void UploadManager::start(const UploadDraft& draft) {
    setPendingDraft(std::nullopt);
    // The key covers the choices too. A saved upload of another file with the same name, size and
    // choices keeps its key and its state: this one's key then covers the modification time as
    // well. A saved upload of this very file is this upload: it goes on from where it stopped.
    UploadFileMetadata metadata{draft.media, std::nullopt};
    const auto keyOf = [&] {
        return UploadFileValidator::clientRequestID(metadata, draft.intent, draft.sourceLanguage,
                                                    draft.targetLanguage);
    };
    std::string clientRequestId = keyOf();
    auto saved = savedStateOf(clientRequestId);
    struct stat source {};
    const bool readable = ::stat(draft.media.path.c_str(), &source) == 0;
    const auto isThisFile = [&](const UploadState& state) {
        return readable && state.sourceBookmark && SourceBookmark::refersTo(*state.sourceBookmark, source);
    };
    if (saved && !isThisFile(*saved)) {
        metadata.modificationDate = static_cast<double>(source.st_mtim.tv_sec) +
                                    static_cast<double>(source.st_mtim.tv_nsec) / 1e9;
        clientRequestId = keyOf();
        saved = savedStateOf(clientRequestId);
        if (saved && !isThisFile(*saved)) saved.reset();  // cannot be: the same time, name and size
    }
    if (runningRequestIds_.contains(clientRequestId)) {
        // Two jobs of one upload would share its state file.
        setUploadAlert(UploadAlert::make("Cannot start upload", "This file is already being uploaded."));
        return;
    }
    defaults_.set(kLastIntentKey, rawValue(draft.intent));
    defaults_.set(kLastSourceKey, draft.sourceLanguage);
    defaults_.set(kLastTargetKey, draft.targetLanguage);

    log_.info("Upload of " + draft.media.fileName + " started (" + clientRequestId + ")");
    auto model = std::make_shared<UploadTaskModel>(clientRequestId, draft.media.fileName, draft.media.fileSize);
    activeUploads_.insert(activeUploads_.begin(), model);
    activeUploadsChanged.emit();
    updateDockBadge();
    if (saved) {
        std::erase_if(resumableStates_, [&](const UploadState& s) { return s.clientRequestId == clientRequestId; });
        model->setTaskID(saved->taskId);
        model->setProgress(UploadRunner::savedProgress(*saved));
        launchJob(model, [this, state = std::move(*saved), model](std::stop_token stop) {
            runner_.resume(state, model, stop);
        });
        return;
    }
    launchJob(model, [this, draft, clientRequestId, model](std::stop_token stop) {
        runner_.run(draft, clientRequestId, model, stop);
    });
}

std::optional<UploadState> UploadManager::savedStateOf(const std::string& clientRequestId) const {
    for (auto& state : loadStatesOrNone(stateStore_, log_))
        if (state.clientRequestId == clientRequestId) return std::move(state);
    return std::nullopt;
}

bool UploadManager::hasActiveUploads() const {
    return std::any_of(activeUploads_.begin(), activeUploads_.end(),
                       [](const auto& m) { return m->status().isActive(); });
}

std::optional<std::string> UploadManager::badgeText(const std::vector<ModelPtr>& uploads) {
    double sum = 0;
    int count = 0;
    for (const auto& model : uploads) {
        if (!model->status().isActive()) continue;
        sum += model->progress();
        ++count;
    }
    if (count == 0) return std::nullopt;
    return std::to_string(wholePercent(sum / count)) + "%";
}

void UploadManager::updateDockBadge() {
    if (options_.badge) options_.badge->setBadge(badgeText(activeUploads_));
}

void UploadManager::launchJob(const ModelPtr& model, std::function<void(std::stop_token)> body) {
    runningRequestIds_.insert(model->clientRequestId());
    auto job = std::make_unique<Job>();
    job->thread = std::jthread([this, model, body = std::move(body)](std::stop_token stop) {
        body(stop);
        onMain([this, model] { finishJob(model); });
    });
    jobs_.emplace(model->id(), std::move(job));
}

void UploadManager::finishJob(const ModelPtr& model) {
    if (auto it = runningRequestIds_.find(model->clientRequestId()); it != runningRequestIds_.end())
        runningRequestIds_.erase(it);
    jobs_.erase(model->id());
    updateDockBadge();
}

void UploadManager::failJob(const ModelPtr& model, const std::string& message) {
    log_.error("Upload of " + model->fileName() + " failed: " + message);
    model->setStatus(UploadTaskStatus::failed(message));
    setUploadAlert(UploadAlert::make("Upload failed", message));
}

void UploadManager::completeJob(const ModelPtr& model, const std::string& taskId, const std::string& fileName) {
    model->setProgress(1.0);
    model->setStatus(UploadTaskStatus::completed(taskId));
    recordCompletedTaskID(taskId);
    if (navigator_) navigator_->navigateToTask(taskId);
    if (!options_.notifications) return;
    try {
        options_.notifications->notifyUploadCompleted(fileName, taskId);
    } catch (const std::exception& e) {
        log_.warning(std::string("Completion notification not shown: ") + e.what());
    }
}

void UploadManager::cancel(const std::string& taskModelId) {
    if (auto it = jobs_.find(taskModelId); it != jobs_.end()) it->second->thread.request_stop();
}

std::string UploadManager::resumeInformativeText(std::size_t count) {
    if (count == 1) return "Velvetharbor found 1 upload that did not finish.";
    return "Velvetharbor found " + std::to_string(count) + " uploads that did not finish.";
}

void UploadManager::offerResumeIfNeeded(ResumePrompt& prompt) {
    if (resumableStates_.empty()) return;
    prompt.confirmResume("Resume incomplete uploads?", resumeInformativeText(resumableStates_.size()),
                         [this, alive = alive_](bool resume) {
                             if (resume && *alive) resumeAll();
                         });
}

void UploadManager::resumeAll() {
    auto states = std::exchange(resumableStates_, {});
    log_.info("Resuming " + std::to_string(states.size()) + " unfinished upload(s)");
    for (auto& state : states) {
        // Already running here (started again by hand): a second job would share its files.
        if (runningRequestIds_.contains(state.clientRequestId)) continue;
        auto model = std::make_shared<UploadTaskModel>(state.clientRequestId, state.media.fileName, state.media.fileSize);
        model->setTaskID(state.taskId);
        // The acknowledged parts are done: the menu and the badge must not fall back to 0 meanwhile.
        model->setProgress(UploadRunner::savedProgress(state));
        model->setStatus(UploadTaskStatus::paused());
        activeUploads_.insert(activeUploads_.begin(), model);
        launchJob(model, [this, state = std::move(state), model](std::stop_token stop) {
            runner_.resume(state, model, stop);
        });
    }
    activeUploadsChanged.emit();
    updateDockBadge();
}

void UploadManager::recordCompletedTaskID(const std::string& id) {
    std::erase(completedTaskIDs_, id);
    completedTaskIDs_.insert(completedTaskIDs_.begin(), id);
    if (completedTaskIDs_.size() > kRecentTaskCount) completedTaskIDs_.resize(kRecentTaskCount);
    completedTaskIDsChanged.emit();
}

}  // namespace vhbr
