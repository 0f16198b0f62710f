#include "Upload/UploadManager.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "Notifications/NotificationService.hpp"
#include "Platform/AppPaths.hpp"
#include "Platform/AtomicFile.hpp"
#include "Support/Errors.hpp"
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
    std::stop_source pause;
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
    if (!resumableStates_.empty()) log_.info(resumeInformativeText(savedFileNames()));
    // Listed from the start, so that an upload left unresumed is still there to resume.
    for (const auto& state : resumableStates_) {
        auto model = std::make_shared<UploadTaskModel>(state.clientRequestId, state.media.fileName, state.media.fileSize);
        describeSaved(*model, state);
        model->setStatus(UploadTaskStatus::interrupted());
        activeUploads_.push_back(model);
    }
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
            UploadJobLock lock(options_.lockDirectory, name);
            std::error_code failed;
            std::filesystem::remove_all(entry.path(), failed);
            if (failed) log_.warning("Leftover part files of " + name + " not removed: " + failed.message());
        } catch (const AppError&) {
            // Locked: an upload of an earlier version (another process) still sends these parts.
        } catch (const std::exception& e) {
            // Only a clean-up: the folder stays for the next launch to try again.
            log_.warning("Leftover part files of " + name + " not removed: " + e.what());
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

void UploadManager::onMain(std::function<void()> fn) { postIfAlive(main_, alive_, std::move(fn)); }

void UploadManager::setPendingDraft(std::optional<UploadDraft> draft) {
    if (!draft && pendingDraft_) {
        ++draftsDone_;
        if (!queuedDrafts_.empty()) {
            draft = std::move(queuedDrafts_.front());
            queuedDrafts_.pop_front();
        }
    }
    if (!draft) draftsDone_ = 0;
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

void UploadManager::prepareDraft(const UploadFileMetadata& metadata) {
    // Opened twice (or dropped again while it uploads): one upload of it is what was meant.
    if (isQueuedOrRunning(metadata.media.path)) return;
    if (!pendingDraft_) return setPendingDraft(makeDraft(metadata));
    queuedDrafts_.push_back(makeDraft(metadata));
    pendingDraftChanged.emit();  // the position on show ("1 of 2") changed
}

bool UploadManager::isQueuedOrRunning(const std::filesystem::path& file) const {
    if (pendingDraft_ && pendingDraft_->media.path == file) return true;
    for (const auto& draft : queuedDrafts_)
        if (draft.media.path == file) return true;
    return std::any_of(activeUploads_.begin(), activeUploads_.end(), [&](const auto& m) {
        const auto kind = m->status().kind();
        return m->choices().sourceFile == file &&
               (m->status().isActive() || kind == UploadTaskStatus::Kind::paused);
    });
}

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

void UploadManager::start(UploadDraft draft) {
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
    if (saved) {
        // This very file, saved by an earlier run: it goes on from where it stopped, in its row.
        auto model = listedInterrupted(clientRequestId);
        if (model) {
            std::erase(activeUploads_, model);  // to the top, as any upload just started
        } else {
            model = std::make_shared<UploadTaskModel>(clientRequestId, draft.media.fileName, draft.media.fileSize);
            describeSaved(*model, *saved);
        }
        activeUploads_.insert(activeUploads_.begin(), model);
        drafts_[model->id()] = draft;
        activeUploadsChanged.emit();
        resumeSaved(model, takeSavedState(clientRequestId).value_or(std::move(*saved)));
        return;
    }
    auto model = std::make_shared<UploadTaskModel>(clientRequestId, draft.media.fileName, draft.media.fileSize);
    drafts_[model->id()] = draft;
    model->setChoices({draft.intent, draft.sourceLanguage, draft.targetLanguage, draft.media.path});
    activeUploads_.insert(activeUploads_.begin(), model);
    activeUploadsChanged.emit();
    updateDockBadge();
    launchJob(model, [this, draft, clientRequestId, model](std::stop_token cancel, std::stop_token pause) {
        runner_.run(draft, clientRequestId, model, cancel, pause);
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

void UploadManager::launchJob(const ModelPtr& model, JobBody body) {
    runningRequestIds_.insert(model->clientRequestId());
    auto job = std::make_unique<Job>();
    job->thread = std::jthread(
        [this, model, pause = job->pause.get_token(), body = std::move(body)](std::stop_token cancel) {
            body(cancel, pause);
            onMain([this, model] { finishJob(model); });
        });
    jobs_.emplace(model->id(), std::move(job));
}

void UploadManager::finishJob(const ModelPtr& model) {
    if (auto it = runningRequestIds_.find(model->clientRequestId()); it != runningRequestIds_.end())
        runningRequestIds_.erase(it);
    jobs_.erase(model->id());
    updateDockBadge();
    if (resumeWhenStopped_.erase(model->id())) resume(model->id());
}

void UploadManager::describeSaved(UploadTaskModel& model, const UploadState& state) {
    model.setTaskID(state.taskId);
    // The acknowledged parts are done: the menu and the badge must not fall back to 0 meanwhile.
    model.setProgress(UploadRunner::savedProgress(state), UploadRunner::savedBytes(state));
    std::filesystem::path source;
    try {
        if (state.sourceBookmark) source = SourceBookmark::resolve(*state.sourceBookmark);
    } catch (const std::exception&) {
        // Shown without its folder; the resume says what is wrong with it.
    }
    model.setChoices({state.intent, state.sourceLanguage, state.targetLanguage, source});
}

UploadManager::ModelPtr UploadManager::findModel(const std::string& taskModelId) const {
    const auto it = std::find_if(activeUploads_.begin(), activeUploads_.end(),
                                 [&](const auto& m) { return m->id() == taskModelId; });
    return it == activeUploads_.end() ? nullptr : *it;
}

std::optional<UploadState> UploadManager::takeSavedState(const std::string& clientRequestId) {
    const auto byId = [&](const UploadState& s) { return s.clientRequestId == clientRequestId; };
    if (auto it = std::find_if(resumableStates_.begin(), resumableStates_.end(), byId);
        it != resumableStates_.end()) {
        auto state = std::move(*it);
        resumableStates_.erase(it);
        return state;
    }
    // Saved by a run of this process that was paused or failed.
    auto states = loadStatesOrNone(stateStore_, log_);
    const auto it = std::find_if(states.begin(), states.end(), byId);
    if (it == states.end()) return std::nullopt;
    return std::move(*it);
}

void UploadManager::resumeSaved(const ModelPtr& model, UploadState state) {
    log_.info("Resuming the upload of " + state.media.fileName);
    model->setStatus(UploadTaskStatus::queued());
    updateDockBadge();
    launchJob(model, [this, state = std::move(state), model](std::stop_token cancel, std::stop_token pause) {
        runner_.resume(state, model, cancel, pause);
    });
}

void UploadManager::pause(const std::string& taskModelId) {
    resumeWhenStopped_.erase(taskModelId);
    if (auto it = jobs_.find(taskModelId); it != jobs_.end()) it->second->pause.request_stop();
}

void UploadManager::resume(const std::string& taskModelId) {
    const auto model = findModel(taskModelId);
    if (!model) return;
    if (jobs_.contains(taskModelId)) {
        // Still ending its pause: its state file is not final until the job is gone.
        if (jobs_.at(taskModelId)->pause.stop_requested()) resumeWhenStopped_.insert(taskModelId);
        return;
    }
    const auto kind = model->status().kind();
    if (kind != UploadTaskStatus::Kind::paused && kind != UploadTaskStatus::Kind::interrupted) return;
    if (runningRequestIds_.contains(model->clientRequestId())) return;  // started again by hand
    auto state = takeSavedState(model->clientRequestId());
    if (!state) {
        failJob(model, "The saved state of this upload is gone. Start this upload again.");
        return;
    }
    resumeSaved(model, std::move(*state));
}

void UploadManager::cancel(const std::string& taskModelId) {
    resumeWhenStopped_.erase(taskModelId);
    if (auto it = jobs_.find(taskModelId); it != jobs_.end()) {
        it->second->thread.request_stop();
        return;
    }
    const auto model = findModel(taskModelId);
    if (!model) return;
    const auto kind = model->status().kind();
    if (kind != UploadTaskStatus::Kind::paused && kind != UploadTaskStatus::Kind::interrupted) return;
    auto state = takeSavedState(model->clientRequestId());
    if (!state) {
        model->setStatus(UploadTaskStatus::cancelled());
        return;
    }
    launchJob(model, [this, state = std::move(*state), model](std::stop_token, std::stop_token) {
        runner_.discard(state, model);
    });
}

void UploadManager::retry(const std::string& taskModelId) {
    const auto model = findModel(taskModelId);
    if (!model || jobs_.contains(taskModelId) || model->status().kind() != UploadTaskStatus::Kind::failed) return;
    if (runningRequestIds_.contains(model->clientRequestId())) return;
    if (auto state = takeSavedState(model->clientRequestId())) {
        resumeSaved(model, std::move(*state));
        return;
    }
    const auto draft = drafts_.find(taskModelId);
    if (draft == drafts_.end()) return;  // neither saved nor started here: nothing to start from
    log_.info("Upload of " + model->fileName() + " started again");
    model->setProgress(0, 0);
    model->setStatus(UploadTaskStatus::queued());
    updateDockBadge();
    launchJob(model, [this, draft = draft->second, model](std::stop_token cancel, std::stop_token pause) {
        runner_.run(draft, model->clientRequestId(), model, cancel, pause);
    });
}

void UploadManager::remove(const std::string& taskModelId) {
    const auto model = findModel(taskModelId);
    if (!model || jobs_.contains(taskModelId)) return;
    switch (model->status().kind()) {
        case UploadTaskStatus::Kind::interrupted:
            cancel(taskModelId);  // the list is where a saved upload can be found: off it, it goes
            [[fallthrough]];
        case UploadTaskStatus::Kind::completed:
        case UploadTaskStatus::Kind::failed:
        case UploadTaskStatus::Kind::cancelled: removeFromList(model); break;
        default: break;
    }
}

void UploadManager::clearFinished() {
    const auto removed = std::erase_if(activeUploads_, [this](const auto& m) {
        return m->status().kind() == UploadTaskStatus::Kind::completed && !jobs_.contains(m->id());
    });
    if (removed > 0) activeUploadsChanged.emit();
}

void UploadManager::removeFromList(const ModelPtr& model) {
    drafts_.erase(model->id());
    std::erase(activeUploads_, model);
    activeUploadsChanged.emit();
}

void UploadManager::failJob(const ModelPtr& model, const std::string& message) {
    log_.error("Upload of " + model->fileName() + " failed: " + message);
    model->setStatus(UploadTaskStatus::failed(message));
    setUploadAlert(UploadAlert::make("Upload failed", message));
}

void UploadManager::completeJob(const ModelPtr& model, const std::string& taskId, const std::string& fileName) {
    model->setProgress(1.0, model->fileSize());
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

std::string UploadManager::resumeInformativeText(const std::vector<std::string>& fileNames) {
    constexpr std::size_t kNamed = 3;
    const auto count = fileNames.size();
    std::string text = count == 1 ? "Velvetharbor found 1 upload that did not finish: "
                                  : "Velvetharbor found " + std::to_string(count) + " uploads that did not finish: ";
    const std::size_t named = std::min(count, kNamed);
    for (std::size_t i = 0; i < named; ++i) {
        if (i > 0) text += (i + 1 == named && named == count) ? " and " : ", ";
        text += fileNames[i];
    }
    if (named < count) text += " and " + std::to_string(count - named) + " more";
    return text + ".";
}

std::vector<std::string> UploadManager::savedFileNames() const {
    std::vector<std::string> names;
    for (const auto& state : resumableStates_) names.push_back(state.media.fileName);
    return names;
}

std::size_t UploadManager::activeUploadCount() const {
    return static_cast<std::size_t>(std::count_if(activeUploads_.begin(), activeUploads_.end(),
                                                  [](const auto& m) { return m->status().isActive(); }));
}

void UploadManager::offerResumeIfNeeded(ResumePrompt& prompt) {
    if (resumableStates_.empty()) return;
    prompt.confirmResume("Resume incomplete uploads?", resumeInformativeText(savedFileNames()),
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
        auto model = listedInterrupted(state.clientRequestId);
        if (!model) {
            model = std::make_shared<UploadTaskModel>(state.clientRequestId, state.media.fileName, state.media.fileSize);
            describeSaved(*model, state);
            activeUploads_.insert(activeUploads_.begin(), model);
        }
        resumeSaved(model, std::move(state));
    }
    activeUploadsChanged.emit();
    updateDockBadge();
}

UploadManager::ModelPtr UploadManager::listedInterrupted(const std::string& clientRequestId) const {
    const auto it = std::find_if(activeUploads_.begin(), activeUploads_.end(), [&](const auto& m) {
        return m->clientRequestId() == clientRequestId && m->status().kind() == UploadTaskStatus::Kind::interrupted;
    });
    return it == activeUploads_.end() ? nullptr : *it;
}

void UploadManager::recordCompletedTaskID(const std::string& id) {
    std::erase(completedTaskIDs_, id);
    completedTaskIDs_.insert(completedTaskIDs_.begin(), id);
    if (completedTaskIDs_.size() > kRecentTaskCount) completedTaskIDs_.resize(kRecentTaskCount);
    completedTaskIDsChanged.emit();
}

}  // namespace vhbr
