#pragma once
// The upload engine's one object: files in, drafts, started uploads with their jobs, resumption
// of unfinished uploads and the launcher badge.
//
// Threads: every public member is called on the main thread (the MainExecutor's), and the
// published state (activeUploads, completedTaskIDs, pendingDraft, uploadAlert) changes only there,
// announced by the signals below. Each upload runs as a job on its own worker thread, in the
// UploadRunner, which owns its UploadState and reaches the models only by posting to the main
// thread. Stopping a job's token cancels it (staged upload cleaned up); destroying the manager is
// a quit: jobs stop and their state files stay for the next launch.

#include <sigc++/sigc++.h>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "Config/AppConfig.hpp"
#include "Platform/MainExecutor.hpp"
#include "Platform/PostIfAlive.hpp"
#include "Platform/UserDefaults.hpp"
#include "Services/APIClient.hpp"
#include "Support/Log.hpp"
#include "Upload/BackgroundPartUploader.hpp"
#include "Upload/SourceFile.hpp"
#include "Upload/UploadFileValidator.hpp"
#include "Upload/UploadModels.hpp"
#include "Upload/UploadRunner.hpp"
#include "Upload/UploadState.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr {

class NotificationService;

// Shows the mean progress of active uploads on the launcher ("37%"), or nothing.
class BadgeSink {
public:
    virtual ~BadgeSink() = default;
    virtual void setBadge(const std::optional<std::string>& text) = 0;  // main thread
};

// Asks whether unfinished uploads shall be resumed. The question is asked on the main thread and
// answered there exactly once, true meaning "Resume": at once (a terminal, a test) or later from a
// dialog's response, never from a nested main loop.
class ResumePrompt {
public:
    virtual ~ResumePrompt() = default;
    virtual void confirmResume(const std::string& message, const std::string& informativeText,
                               std::function<void(bool resume)> answer) = 0;
};

class UploadManager {
public:
    struct Options {
        // Where versions that cut parts into files kept them; only cleaned up. Empty: uploadPartsDirectory().
        std::filesystem::path partDirectory;
        std::filesystem::path lockDirectory;  // empty: appDataDirectory()/"Locks"
        std::chrono::milliseconds backoffBase{1000};
        // Waiting for the network (see UploadRunner::Settings): the app waits without a limit.
        std::chrono::milliseconds networkRetryFirst{std::chrono::seconds(1)};
        std::chrono::milliseconds networkRetryCap{std::chrono::seconds(60)};
        std::optional<std::chrono::milliseconds> networkWaitLimit{};
        NotificationService* notifications = nullptr;
        BadgeSink* badge = nullptr;
        LogSink* log = nullptr;  // best-effort failures and job outcomes; nothing when absent
    };

    UploadManager(MainExecutor& main, AppConfig config, std::optional<APIClient> apiClient,
                  std::optional<UploadStateStore> stateStore, BackgroundPartUploader& partUploader,
                  UserDefaults& defaults, Options options);
    UploadManager(MainExecutor& main, AppConfig config, BackgroundPartUploader& partUploader,
                  UserDefaults& defaults)
        : UploadManager(main, std::move(config), std::nullopt, std::nullopt, partUploader, defaults,
                        Options{}) {}
    ~UploadManager();
    UploadManager(const UploadManager&) = delete;
    UploadManager& operator=(const UploadManager&) = delete;

    // The owners outlive the manager; the token provider may be read from job threads.
    void setTokenProvider(TokenProvider* provider) { runner_.setTokenProvider(provider); }
    void setNavigator(WebNavigator* navigator) { navigator_ = navigator; }

    void enqueueFiles(const std::vector<std::filesystem::path>& files);
    // A draft of a validated file with the remembered intent and languages.
    UploadDraft makeDraft(const UploadFileMetadata& metadata) const;
    // Takes its own copy: the draft may be the pending one, which starting replaces.
    void start(UploadDraft draft);
    bool hasActiveUploads() const;
    // Asks prompt when unfinished uploads exist; the prompt must outlive its answer. An answer that
    // arrives after the manager is gone does nothing.
    void offerResumeIfNeeded(ResumePrompt& prompt);
    void resumeAll();
    void recordCompletedTaskID(const std::string& id);
    // The desktop says the network changed or the machine woke: uploads waiting for the network
    // try at once.
    void networkMayHaveChanged() { runner_.networkMayHaveChanged(); }
    // The desktop says the machine is about to sleep: running uploads end their requests and wait
    // for the network (state kept, shown as waiting) until networkMayHaveChanged() after the wake.
    void machineWillSleep() { runner_.machineWillSleep(); }

    // One upload, by its model's id; each does nothing where it does not apply.
    // Stops a running upload as a quit does: its saved state stays and it shows paused.
    void pause(const std::string& taskModelId);
    // Resumes a paused or interrupted upload from its saved state now (once its pause has ended).
    void resume(const std::string& taskModelId);
    // Cancels an upload: a running job stops, a paused or interrupted one is given up from its
    // saved state; either way the staged upload is cleaned up on the service and the state goes.
    void cancel(const std::string& taskModelId);
    // A failed upload again: from its saved state where one exists, else anew from its file with
    // the same choices.
    void retry(const std::string& taskModelId);
    // Takes a completed, failed or cancelled upload off the list; an interrupted one is given up
    // as by cancel first.
    void remove(const std::string& taskModelId);
    // Takes every completed upload off the list.
    void clearFinished();

    // Every upload of this run and every saved one not resumed yet (interrupted), newest first.
    const std::vector<std::shared_ptr<UploadTaskModel>>& activeUploads() const { return activeUploads_; }
    const std::vector<std::string>& completedTaskIDs() const { return completedTaskIDs_; }
    const std::optional<UploadDraft>& pendingDraft() const { return pendingDraft_; }
    const std::optional<UploadAlert>& uploadAlert() const { return uploadAlert_; }
    const std::vector<UploadState>& resumableStates() const { return resumableStates_; }
    // Replaces the draft on show; nothing drops it and shows the next queued one, if any.
    void setPendingDraft(std::optional<UploadDraft> draft);
    // Where the pending draft stands among the files handed over together: {2, 3} for "2 of 3".
    // Files opened while drafts are shown join the same run of drafts.
    std::pair<std::size_t, std::size_t> pendingDraftPosition() const {
        return {draftsDone_ + 1, draftsDone_ + 1 + queuedDrafts_.size()};
    }
    void setUploadAlert(std::optional<UploadAlert> alert);
    std::size_t runningJobCount() const { return jobs_.size(); }

    sigc::signal<void()> activeUploadsChanged;
    sigc::signal<void()> completedTaskIDsChanged;
    sigc::signal<void()> pendingDraftChanged;
    sigc::signal<void()> uploadAlertChanged;

    // "Velvetharbor found 2 uploads that did not finish: a.mp4 and b.mp4." Up to three names,
    // then "and N more".
    static std::string resumeInformativeText(const std::vector<std::string>& fileNames);
    // The uploads under way (what quitting would stop).
    std::size_t activeUploadCount() const;
    // The mean progress of the active uploads as a whole percentage ("37%"), or none.
    static std::optional<std::string> badgeText(const std::vector<std::shared_ptr<UploadTaskModel>>& uploads);

private:
    struct Job;
    using ModelPtr = std::shared_ptr<UploadTaskModel>;

    // Intake and bookkeeping (main thread).
    static Options withDefaultFolders(Options options);
    UploadRunner::Host runnerHost();
    void prepareDraft(const UploadFileMetadata& metadata);
    // True when file waits for its confirmation or is uploading (or paused) in this run.
    bool isQueuedOrRunning(const std::filesystem::path& file) const;
    void updateDockBadge();
    // The unfinished upload saved under that key, if any.
    std::optional<UploadState> savedStateOf(const std::string& clientRequestId) const;
    // Part folders that earlier versions left behind, unless a running one (another process) holds
    // their upload.
    void removeLeftoverPartFolders();
    using JobBody = std::function<void(std::stop_token cancel, std::stop_token pause)>;
    void launchJob(const ModelPtr& model, JobBody body);
    ModelPtr findModel(const std::string& taskModelId) const;
    std::vector<std::string> savedFileNames() const;
    // The progress and choices of a saved upload, on its model.
    static void describeSaved(UploadTaskModel& model, const UploadState& state);
    ModelPtr listedInterrupted(const std::string& clientRequestId) const;
    // The saved state of an upload that is not running, taken off resumableStates; none when
    // there is none (or it cannot be read).
    std::optional<UploadState> takeSavedState(const std::string& clientRequestId);
    void resumeSaved(const ModelPtr& model, UploadState state);
    void removeFromList(const ModelPtr& model);
    void finishJob(const ModelPtr& model);
    void failJob(const ModelPtr& model, const std::string& message);
    void completeJob(const ModelPtr& model, const std::string& taskId, const std::string& fileName);

    // Runs fn on the main thread unless the manager is gone by then.
    void onMain(std::function<void()> fn);

    MainExecutor& main_;
    AppConfig config_;
    APIClient apiClient_;
    UploadStateStore stateStore_;
    BackgroundPartUploader& partUploader_;
    UserDefaults& defaults_;
    Options options_;
    Log log_;
    WebNavigator* navigator_ = nullptr;
    UploadRunner runner_;  // before the jobs that use it

    std::vector<ModelPtr> activeUploads_;
    std::vector<std::string> completedTaskIDs_;
    std::optional<UploadDraft> pendingDraft_;
    std::deque<UploadDraft> queuedDrafts_;  // after the pending one, in the order they were checked
    std::size_t draftsDone_ = 0;            // started or skipped since the queue was last empty
    std::optional<UploadAlert> uploadAlert_;
    std::vector<UploadState> resumableStates_;
    std::map<std::string, std::unique_ptr<Job>> jobs_;  // by task model id
    std::map<std::string, UploadDraft> drafts_;         // what each upload of this run started from
    std::set<std::string> resumeWhenStopped_;           // task model ids resumed while their pause ends
    std::multiset<std::string> runningRequestIds_;      // clientRequestIds with a job in this process
    std::list<std::future<void>> validations_;

    AliveFlag alive_ = makeAliveFlag();
};

}  // namespace vhbr
