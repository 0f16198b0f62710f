#pragma once
// The worker side of the upload engine: one upload's run from its saved state to the end, that is
// the task, the upload session, the transfer (one PUT, or parts), the completion and the clean-up
// of a cancelled upload. The upload manager keeps the main-thread bookkeeping and starts a job
// thread per upload that calls run() or resume() here.
//
// Threads: run() and resume() are called on job threads, several at once for different uploads;
// each run owns its UploadState, and what the models and the manager must learn is posted to the
// main thread through the Host (its members are only ever called there). quit(),
// setTokenProvider(), networkMayHaveChanged() and machineWillSleep() may be called from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "Services/APIClient.hpp"
#include "Support/Log.hpp"
#include "Upload/BackgroundPartUploader.hpp"
#include "Upload/SourceFile.hpp"
#include "Upload/UploadModels.hpp"
#include "Upload/UploadState.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr {

inline constexpr std::int64_t kMultipartThreshold = 52'428'800;

// Files from the threshold on go up in parts; smaller ones in one PUT.
inline bool isMultipart(const UploadState& state) { return state.media.fileSize >= kMultipartThreshold; }

class UploadRunner {
public:
    using ModelPtr = std::shared_ptr<UploadTaskModel>;

    // The main thread's side, as a run sees it.
    struct Host {
        // Runs fn on the main thread, or never when the manager is gone by then.
        std::function<void(std::function<void()>)> post;
        std::function<void(const ModelPtr&, const std::string& message)> failed;
        std::function<void(const ModelPtr&, const std::string& taskId, const std::string& fileName)>
            completed;
        std::function<void()> progressChanged;
    };
    struct Settings {
        std::filesystem::path lockDirectory;
        std::chrono::milliseconds backoffBase{1000};
        // Waiting for the network: the first pause before the service is tried again, doubling up
        // to the cap; without a limit a run waits until it is cancelled or the app quits.
        std::chrono::milliseconds networkRetryFirst{std::chrono::seconds(1)};
        std::chrono::milliseconds networkRetryCap{std::chrono::seconds(60)};
        std::optional<std::chrono::milliseconds> networkWaitLimit{};
    };

    // The client, store and uploader outlive the runner.
    UploadRunner(APIClient& apiClient, UploadStateStore& stateStore, BackgroundPartUploader& partUploader,
                 Settings settings, Log log, Host host);
    UploadRunner(const UploadRunner&) = delete;
    UploadRunner& operator=(const UploadRunner&) = delete;

    // The owner outlives the runner.
    void setTokenProvider(TokenProvider* provider) { tokenProvider_ = provider; }

    // A new upload of draft, or an unfinished one from its saved state; each returns when the run
    // has ended, whichever way (the outcome goes to the Host). Stopping cancel cancels the upload;
    // stopping pause ends this run as a quit ends all of them (requests in flight abandoned, the
    // state file kept) and the model shows paused.
    void run(const UploadDraft& draft, const std::string& clientRequestId, const ModelPtr& model,
             std::stop_token cancel, std::stop_token pause = {});
    void resume(UploadState state, const ModelPtr& model, std::stop_token cancel, std::stop_token pause = {});
    // Gives up a saved upload that is not running, as a cancel does: the staged upload is cleaned
    // up on the service, and its state goes.
    void discard(UploadState state, const ModelPtr& model);
    // The app quits: runs stop where they are (even requests a cancel would let finish) and keep
    // their state files for the next launch.
    void quit();
    // A hint that the network may be back or has changed (any thread): runs waiting for it try the
    // service at once instead of at the end of their pause.
    void networkMayHaveChanged();
    // The machine is about to sleep (any thread): running uploads end their requests at once, keep
    // their state and wait for the network as after an outage, so that none is left half-sent on a
    // connection that will be dead on wake; networkMayHaveChanged() after the wake sends them on.
    void machineWillSleep();
    // What a saved upload has achieved, as the progress its resumed run starts from.
    static double savedProgress(const UploadState& state);
    // The bytes of a saved upload that the storage has.
    static std::int64_t savedBytes(const UploadState& state);

private:
    // What ends a run: stop (a cancel, a pause or a quit) ends its waits and requests; quit (a
    // pause or a quit) also ends the requests that a cancel lets finish, and keeps the state.
    struct Stops {
        std::stop_token stop;
        std::stop_token quit;
    };
    using Body = std::function<void(UploadState&, const Stops&)>;

    void runGuarded(UploadState& state, const ModelPtr& model, std::stop_token cancel, std::stop_token pause,
                    const Body& body);
    void perform(UploadState& state, std::optional<SourceFile>& source, const ModelPtr& model,
                 const Stops& stops);
    // perform() until it ends other than by lost connectivity, waiting for the network between
    // tries; each try carries on from the state as the last one left it.
    void performWaitingForNetwork(UploadState& state, std::optional<SourceFile>& source, const ModelPtr& model,
                                  const Stops& stops);
    // Pauses with back-off (delay, doubled after each try) and tries the service until it answers;
    // throws an AppError saying how long it waited when the wait limit is reached, CancelledError
    // when stop is requested or the app quits.
    // A hint given after seenHints (see networkHints()) ends the pause at once; seenHints follows
    // the hints the wait has heeded.
    void waitForNetwork(const std::exception_ptr& failure, std::chrono::steady_clock::time_point since,
                        std::chrono::milliseconds& delay, std::uint64_t& seenHints, const ModelPtr& model,
                        const Stops& stops);
    // How many network hints were given so far.
    std::uint64_t networkHints();
    // Stopped when the machine is about to sleep: each try of a run watches the token current when
    // the try began, so a sleep ends the tries under way, never a later one.
    std::stop_token sleepToken();
    // True when the service gives any answer at all within the stall window.
    bool serviceAnswers(std::stop_token stop);
    void transfer(UploadState& state, const SourceFile& source, const std::string& taskId,
                  const std::string& token, const ModelPtr& model, const Stops& stops);
    void complete(UploadState& state, const std::string& taskId, const std::string& token, bool repeating,
                  const ModelPtr& model, const Stops& stops);
    void uploadSingleFile(const SourceFile& source, const MediaDescription& media, const std::string& presignedURL,
                          std::stop_token stop);
    void completeMultipart(const UploadState& state, const std::string& taskId, const std::string& token,
                           bool repeating, std::stop_token stop);
    // True once every byte is with the storage: only the completion calls are left.
    static bool transferFinished(const UploadState& state);
    void cleanupStaged(const UploadState& state);
    void removeState(const std::string& clientRequestId);
    std::string bearerToken(std::stop_token stop);
    void saveState(UploadState& state);
    void finishUpload(const UploadState& state, const ModelPtr& model);

    APIClient& apiClient_;
    UploadStateStore& stateStore_;
    BackgroundPartUploader& partUploader_;
    Settings settings_;
    Log log_;
    Host host_;
    std::atomic<TokenProvider*> tokenProvider_{nullptr};
    std::atomic<bool> quitting_{false};
    std::stop_source quit_;  // stops requests that must end on quit even outside a job's own token
    std::mutex networkMutex_;
    std::condition_variable_any networkChanged_;
    std::uint64_t networkGeneration_ = 0;  // counts networkMayHaveChanged(); guarded by networkMutex_
    std::mutex sleepMutex_;
    std::stop_source sleep_;  // replaced by a fresh one at each sleep; guarded by sleepMutex_
};

}  // namespace vhbr
