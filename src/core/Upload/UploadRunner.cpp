// The job of one upload: state on disk, task, upload session, transfer, completion, clean-up.

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>

#include "Upload/SourceBookmark.hpp"
#include "Upload/SourceFile.hpp"
#include "Upload/UploadAPIModels.hpp"
#include "Platform/CancellableSleep.hpp"
#include "Platform/HttpTypes.hpp"
#include "Upload/MultipartTransfer.hpp"
#include "Upload/UploadFailure.hpp"
#include "Upload/UploadJobLock.hpp"
#include "Upload/UploadRunner.hpp"

namespace vhbr {

namespace {

// Whether error is an E (or derives from one).
template <class E>
bool isA(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
}

std::chrono::sys_seconds now() {
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

bool isUnauthorized(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& e) {
        return e.kind() == APIError::Kind::httpStatus && e.status() == 401;
    } catch (...) {
        return false;
    }
}

// Sleeps for pause; CancelledError as soon as either token is stopped.
void sleepUnlessStopped(std::chrono::milliseconds pause, std::stop_token stop, std::stop_token quit) {
    std::stop_source wake;
    std::stop_callback onStop(stop, [&wake] { wake.request_stop(); });
    std::stop_callback onQuit(quit, [&wake] { wake.request_stop(); });
    sleepOrThrowIfStopped(pause, wake.get_token());
}

// How often in a row a run heeds a server's "come back later" (Retry-After) before it fails.
constexpr int kWaitsAskedWithoutProgress = 3;

// How far a run got; any step further since the last wait starts the back-off afresh.
std::size_t stepsDone(const UploadState& state) {
    return state.completedParts.size() + (state.taskId ? 1 : 0) + (state.objectKey ? 1 : 0) + (state.completing ? 1 : 0);
}

// "45 s", "12 min 5 s", "1 h", "2 h 30 min".
std::string describeWait(std::chrono::seconds waited) {
    const auto s = waited.count();
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min" + (s % 60 ? " " + std::to_string(s % 60) + " s" : "");
    return std::to_string(s / 3600) + " h" + (s % 3600 / 60 ? " " + std::to_string(s % 3600 / 60) + " min" : "");
}

// The machine went to sleep during a try: its requests were ended on purpose, and the run waits
// for the network as after an outage.
class MachineSlept : public Error {
public:
    MachineSlept() : Error("The computer went to sleep.") {}
};

// The stops of one try of a run: the run's own (a cancel, a pause, a quit) and the machine's
// sleep, which ends the try as a pause would (requests abandoned at once, acknowledged parts kept)
// but leaves the run to wait for the network.
class TryStops {
public:
    TryStops(std::stop_token runStop, std::stop_token runQuit, std::stop_token sleep)
        : sleep_(sleep),
          onStop_(runStop, [this] { stop_.request_stop(); }),
          onQuit_(runQuit, [this] { quit_.request_stop(); }),
          onSleep_(sleep, [this] {
              // Quit first: a transfer that sees its stop without its quit takes it for a cancel.
              quit_.request_stop();
              stop_.request_stop();
          }) {}
    TryStops(const TryStops&) = delete;
    TryStops& operator=(const TryStops&) = delete;

    std::stop_token stop() const { return stop_.get_token(); }
    std::stop_token quit() const { return quit_.get_token(); }
    bool slept() const { return sleep_.stop_requested(); }

private:
    std::stop_source stop_;
    std::stop_source quit_;
    std::stop_token sleep_;
    // Last: they end before the sources they stop.
    std::stop_callback<std::function<void()>> onStop_;
    std::stop_callback<std::function<void()>> onQuit_;
    std::stop_callback<std::function<void()>> onSleep_;
};

}  // namespace

UploadRunner::UploadRunner(APIClient& apiClient, UploadStateStore& stateStore, BackgroundPartUploader& partUploader,
                           Settings settings, Log log, Host host)
    : apiClient_(apiClient),
      stateStore_(stateStore),
      partUploader_(partUploader),
      settings_(std::move(settings)),
      log_(log),
      host_(std::move(host)) {}

void UploadRunner::quit() {
    quitting_ = true;
    quit_.request_stop();
}

void UploadRunner::run(const UploadDraft& draft, const std::string& clientRequestId, const ModelPtr& model,
                        std::stop_token cancel, std::stop_token pause) {
    UploadState state;
    state.clientRequestId = clientRequestId;
    state.media = draft.media;
    state.media.path.clear();  // the bookmark names the file
    state.intent = draft.intent;
    state.sourceLanguage = draft.sourceLanguage;
    state.targetLanguage = draft.targetLanguage;
    state.createdAt = state.updatedAt = now();
    runGuarded(state, model, cancel, pause, [&](UploadState& s, const Stops& stops) {
        // The file must still be the one validated for the draft; from here on only this
        // descriptor is read.
        std::optional<SourceFile> source;
        source.emplace(draft.media.path, draft.media.fileSize, std::nullopt);
        s.sourceBookmark = source->bookmark();
        saveState(s);
        performWaitingForNetwork(s, source, model, stops);
    });
}

void UploadRunner::discard(UploadState state, const ModelPtr& model) {
    std::stop_source cancelled;
    cancelled.request_stop();
    // The same way out as a running upload that is cancelled, under the same lock.
    runGuarded(state, model, cancelled.get_token(), {}, [](UploadState&, const Stops&) { throw CancelledError(); });
}

void UploadRunner::resume(UploadState state, const ModelPtr& model, std::stop_token cancel, std::stop_token pause) {
    runGuarded(state, model, cancel, pause, [&](UploadState& s, const Stops& stops) {
        std::optional<SourceFile> source;
        // Completing needs no source: every byte is already with the storage.
        if (!transferFinished(s)) {
            if (!s.sourceBookmark)
                throw AppError("The original file permission is missing. Start this upload again.");
            source.emplace(SourceBookmark::resolve(*s.sourceBookmark), s.media.fileSize, s.sourceBookmark);
        }
        performWaitingForNetwork(s, source, model, stops);
    });
}

double UploadRunner::savedProgress(const UploadState& state) {
    return isMultipart(state) ? MultipartTransfer::progress(state) : 0.0;
}

std::int64_t UploadRunner::savedBytes(const UploadState& state) {
    if (transferFinished(state)) return state.media.fileSize;
    return isMultipart(state) ? MultipartTransfer::acknowledgedBytes(state) : 0;
}

bool UploadRunner::transferFinished(const UploadState& state) {
    // Older states have no completion step: there, assembled parts show as a dropped upload id.
    const bool assembled = isMultipart(state) && state.objectKey && !state.uploadId &&
                           !state.completedParts.empty();
    return state.completing || assembled;
}

void UploadRunner::runGuarded(UploadState& state, const ModelPtr& model, std::stop_token cancel,
                               std::stop_token pause, const Body& body) {
    std::optional<UploadJobLock> lock;
    try {
        lock.emplace(settings_.lockDirectory, state.clientRequestId);
    } catch (const std::exception& e) {
        // Another process runs this upload (or none can be locked): it is neither ours to run
        // nor to clean up, whatever the user asked meanwhile.
        if (!quitting_) host_.post([this, model, message = std::string(e.what())] { host_.failed(model, message); });
        return;
    }
    // A pause ends this run as a quit ends all of them.
    std::stop_source stop;
    std::stop_source quit;
    const auto forwardTo = [](std::stop_source& to) { return [&to] { to.request_stop(); }; };
    std::stop_callback cancelStops(cancel, forwardTo(stop));
    std::stop_callback pauseStops(pause, forwardTo(stop));
    std::stop_callback pauseQuits(pause, forwardTo(quit));
    std::stop_callback quitQuits(quit_.get_token(), forwardTo(quit));
    // The lock is held until the clean-up below has finished too.
    try {
        body(state, Stops{stop.get_token(), quit.get_token()});
    } catch (...) {
        const auto error = std::current_exception();
        if (quitting_) return;  // a quit leaves the state file for the next launch
        if (pause.stop_requested()) {
            log_.info("Upload of " + state.media.fileName + " paused");
            host_.post([model] { model->setStatus(UploadTaskStatus::paused()); });
            return;
        }
        if (cancel.stop_requested() || isA<CancelledError>(error)) {
            log_.info("Upload of " + state.media.fileName + " cancelled");
            host_.post([model] { model->setStatus(UploadTaskStatus::cancelled()); });
            cleanupStaged(state);
            return;
        }
        if (isA<PermanentRefusal>(error)) removeState(state.clientRequestId);  // never offered for resume again
        host_.post([this, model, message = describeException(error)] { host_.failed(model, message); });
    }
}

std::string UploadRunner::bearerToken(std::stop_token stop) {
    TokenProvider* provider = tokenProvider_.load();
    if (!provider) throw AppError("Sign in before starting a native upload.");
    auto token = provider->idToken();
    while (token.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (stop.stop_requested()) throw CancelledError();
    }
    return token.get();
}

void UploadRunner::saveState(UploadState& state) {
    state.updatedAt = now();
    stateStore_.save(state);
}

void UploadRunner::networkMayHaveChanged() {
    {
        std::lock_guard lock(networkMutex_);
        ++networkGeneration_;
    }
    networkChanged_.notify_all();
}

std::uint64_t UploadRunner::networkHints() {
    std::lock_guard lock(networkMutex_);
    return networkGeneration_;
}

void UploadRunner::machineWillSleep() {
    std::stop_source sleeping;
    {
        std::lock_guard lock(sleepMutex_);
        std::swap(sleeping, sleep_);  // tries begun from now on watch a fresh one
    }
    // Outside the lock: the tries' callbacks end their transfers from here.
    sleeping.request_stop();
}

std::stop_token UploadRunner::sleepToken() {
    std::lock_guard lock(sleepMutex_);
    return sleep_.get_token();
}

void UploadRunner::performWaitingForNetwork(UploadState& state, std::optional<SourceFile>& source,
                                            const ModelPtr& model, const Stops& stops) {
    std::optional<std::chrono::steady_clock::time_point> since;
    auto delay = settings_.networkRetryFirst;
    std::size_t steps = stepsDone(state);
    std::optional<std::size_t> refusedTokenAt;  // the steps done when the service last refused the token
    std::size_t askedToWaitAt = steps;            // the steps done when the service last asked to wait
    int waitsAsked = 0;                           // since then
    for (;;) {
        // A hint given from here on ends this try's wait for the network at once: the wake that
        // follows a sleep may come before the run has begun to wait.
        std::uint64_t seenHints = networkHints();
        const TryStops attempt(stops.stop, stops.quit, sleepToken());
        try {
            perform(state, source, model, Stops{attempt.stop(), attempt.quit()});
            return;
        } catch (...) {
            if (quitting_ || stops.stop.stop_requested() || stops.quit.stop_requested()) throw;
            // Whatever a sleep's abandoned requests ended with, the run waits as after an outage.
            const auto error =
                attempt.slept() ? std::make_exception_ptr(MachineSlept()) : std::current_exception();
            // A token that expired during a long upload: the next try asks for a fresh one (each
            // try does), once for each 401 after some progress, so a refused account still fails.
            if (isUnauthorized(error) && refusedTokenAt != stepsDone(state)) {
                refusedTokenAt = stepsDone(state);
                log_.info("Upload of " + state.media.fileName + " asks for a fresh token: the service refused the last one");
                continue;
            }
            // A busy service or storage (429, 503) that says when to come back: the run goes on then,
            // a few times without progress at most, so one that always says so still fails.
            if (const auto wait = askedToWait(error)) {
                if (askedToWaitAt != stepsDone(state)) {
                    askedToWaitAt = stepsDone(state);
                    waitsAsked = 0;
                }
                if (++waitsAsked <= kWaitsAskedWithoutProgress) {
                    const auto pause = std::min<std::chrono::milliseconds>(*wait, settings_.networkRetryCap);
                    log_.info("Upload of " + state.media.fileName + " waits " + std::to_string(pause.count()) +
                              " ms, as the server asked: " + describeException(error));
                    sleepUnlessStopped(pause, stops.stop, stops.quit);
                    continue;
                }
            }
            if (!isConnectivityFailure(error) && !attempt.slept()) throw;
            const bool mayWait = !settings_.networkWaitLimit || settings_.networkWaitLimit->count() > 0;
            if (!mayWait) std::rethrow_exception(error);
            if (!since || stepsDone(state) != steps) {  // a new outage
                since = std::chrono::steady_clock::now();
                delay = settings_.networkRetryFirst;
                steps = stepsDone(state);
            }
            log_.info("Upload of " + state.media.fileName + " waits for the network: " + describeException(error));
            waitForNetwork(error, *since, delay, seenHints, model, stops);
            log_.info("Upload of " + state.media.fileName + " goes on: the service answers again");
        }
    }
}

void UploadRunner::waitForNetwork(const std::exception_ptr& failure, std::chrono::steady_clock::time_point since,
                                   std::chrono::milliseconds& delay, std::uint64_t& seenHints,
                                   const ModelPtr& model, const Stops& stops) {
    std::stop_source wake;  // the job is cancelled or paused, or the app quits
    std::stop_callback onStop(stops.stop, [&wake] { wake.request_stop(); });
    std::stop_callback onQuit(stops.quit, [&wake] { wake.request_stop(); });
    for (;;) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since);
        const auto& limit = settings_.networkWaitLimit;
        if (limit && waited >= *limit)
            throw AppError("Gave up after waiting " + describeWait(std::chrono::round<std::chrono::seconds>(waited)) +
                           " for the network: " + describeException(failure));
        const auto pause = limit ? std::min(delay, *limit - waited) : delay;
        host_.post([model, seconds = std::chrono::ceil<std::chrono::seconds>(pause)] {
            model->setStatus(UploadTaskStatus::waitingForNetwork(seconds));
        });
        {
            std::unique_lock lock(networkMutex_);
            const auto hinted = [&] { return networkGeneration_ != seenHints; };
            networkChanged_.wait_for(lock, wake.get_token(), pause, hinted);
            seenHints = networkGeneration_;
        }
        if (wake.stop_requested()) throw CancelledError();
        delay = std::min(delay * 2, settings_.networkRetryCap);
        if (serviceAnswers(wake.get_token())) return;
    }
}

bool UploadRunner::serviceAnswers(std::stop_token stop) {
    HttpRequest request;
    request.url = apiClient_.baseURL();
    request.idleTimeout = request.connectTimeout = apiClient_.timeout();
    request.maxReplyBytes = 0;
    request.maxRedirects = 0;
    try {
        apiClient_.session().perform(std::move(request), stop);  // any status is an answer
        return true;
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        return false;
    }
}

void UploadRunner::perform(UploadState& state, std::optional<SourceFile>& source, const ModelPtr& model,
                            const Stops& stops) {
    const std::stop_token stop = stops.stop;
    const std::string token = bearerToken(stop);

    if (!state.taskId) {
        host_.post([model] { model->setStatus(UploadTaskStatus::creatingTask()); });
        CreateTaskRequest request;
        request.clientRequestId = state.clientRequestId;
        request.intent = state.intent;
        request.sourceLanguage = state.sourceLanguage;
        request.targetLanguage = state.targetLanguage;
        request.media = state.media;
        const auto reply = apiClient_.postRaw(kCreateTaskPath, request.toJSON(), token, stop);
        requireServiceSuccess(reply);
        state.taskId = CreateTaskResponse::decode(APIClient::parseJSON(reply.data)).id;
        saveState(state);
    }
    const std::string taskId = *state.taskId;
    host_.post([model, taskId] { model->setTaskID(taskId); });

    const bool repeating = transferFinished(state);
    if (!repeating) {
        try {
            transfer(state, *source, taskId, token, model, stops);
        } catch (const AlreadyComplete&) {
            // The service has this task's file (an earlier run got it there): nothing is left to send.
            log_.info("Upload of " + state.media.fileName + ": the service already has the file");
            finishUpload(state, model);
            return;
        }
        // What was sent is what was validated only if the file did not change meanwhile.
        source->requireUnchanged();
        state.completing = true;
        saveState(state);
    }
    // A long transfer may outlive the token it began with.
    complete(state, taskId, bearerToken(stop), repeating, model, stops);
}

void UploadRunner::transfer(UploadState& state, const SourceFile& source, const std::string& taskId,
                             const std::string& token, const ModelPtr& model, const Stops& stops) {
    const std::stop_token stop = stops.stop;
    const bool multipart = isMultipart(state);
    std::optional<std::string> presignedURL;
    if (!(multipart && state.objectKey && state.uploadId)) {
        const UploadSessionRequest request{state.media, multipart};
        const auto response =
            apiClient_.postRaw(taskStepPath(taskId, "upload-session"), request.toJSON(), token, stop);
        requireServiceSuccess(response, /*alreadyCompleteMeansDone=*/true);
        const auto session =
            UploadSessionResponse::decode(APIClient::parseJSON(response.data), apiClient_.allowsLoopbackHttp());
        if (session.objectKey || session.key)
            state.objectKey = session.objectKey ? session.objectKey : session.key;
        if (session.uploadId) state.uploadId = session.uploadId;
        presignedURL = session.presignedURL;
        // Only a multipart session outlives an interruption (a single PUT asks for a new one), so
        // only it is worth a save; the object key of a single PUT is saved with the completion step.
        if (multipart) saveState(state);
    }
    host_.post([model] { model->setStatus(UploadTaskStatus::uploading()); });

    if (multipart) {
        const MultipartTransfer::Services services{
            apiClient_, partUploader_, log_, settings_.backoffBase, stops.quit,
            [this](UploadState& s) { saveState(s); },
            [this, model](double progress, std::int64_t bytes) {
                host_.post([this, model, progress, bytes] {
                    model->setProgress(progress, bytes);
                    host_.progressChanged();
                });
            }};
        MultipartTransfer(services, state, source, taskId, token, stop).run();
    } else {
        if (!presignedURL) throw AppError("The upload URL was missing.");
        uploadSingleFile(source, state.media, *presignedURL, stop);
        host_.post([model, size = state.media.fileSize] { model->setProgress(0.95, size); });
    }
}

void UploadRunner::complete(UploadState& state, const std::string& taskId, const std::string& token,
                             bool repeating, const ModelPtr& model, const Stops& stops) {
    const std::stop_token stop = stops.stop;
    host_.post([model] { model->setStatus(UploadTaskStatus::finalizing()); });
    if (!state.objectKey) throw AppError("The uploaded object key was missing.");
    if (isMultipart(state) && state.uploadId) {
        completeMultipart(state, taskId, token, repeating, stop);
        // The upload id is spent: a resume after a later failure must not complete it again.
        state.uploadId.reset();
        saveState(state);
    }
    const UploadCompleteRequest complete{*state.objectKey, std::nullopt, state.media};
    if (stop.stop_requested()) throw CancelledError();
    // Once sent, the notice may be accepted whatever happens to its reply, and an accepted task
    // must never be cleaned up: from here only a quit or a pause (which keep the state) interrupts.
    requireServiceSuccess(
        apiClient_.postRaw(taskStepPath(taskId, "upload-complete"), complete.toJSON(), token, stops.quit));
    finishUpload(state, model);
}

void UploadRunner::completeMultipart(const UploadState& state, const std::string& taskId,
                                      const std::string& token, bool repeating, std::stop_token stop) {
    // Sorted here too: a state whose parts were all done before a resume may list them in any order.
    auto parts = state.completedParts;
    std::sort(parts.begin(), parts.end(),
              [](const auto& a, const auto& b) { return a.partNumber < b.partNumber; });
    CompleteMultipartUploadRequest request{*state.objectKey, *state.uploadId, {}};
    for (const auto& part : parts) request.parts.push_back({part.eTag, part.partNumber});
    const auto reply =
        apiClient_.postRaw(taskStepPath(taskId, "complete-multipart-upload"), request.toJSON(), token, stop);
    // Repeated after an interruption, the completion may find that the storage already assembled
    // the parts and forgot the upload ("no such upload", or "already completed"): only the
    // completion notice is left, and it tells whether the object is really there.
    if (repeating && (reply.statusCode == 404 || reply.statusCode == 409)) return;
    requireServiceSuccess(reply);
}

void UploadRunner::uploadSingleFile(const SourceFile& source, const MediaDescription& media,
                                     const std::string& presignedURL, std::stop_token stop) {
    HttpRequest request;
    request.method = "PUT";
    request.url = presignedURL;
    request.headers = {{"Content-Type", media.mimeType}};
    request.bodySlice = HttpRequest::BodySlice{source.descriptor(), 0, media.fileSize};
    request.idleTimeout = request.connectTimeout = apiClient_.timeout();
    request.maxReplyBytes = 0;
    HttpResponse response;
    try {
        response = apiClient_.session().perform(std::move(request), stop);
    } catch (const FileSystemError&) {
        source.requireUnchanged();  // a source that ended early was changed: say so
        throw;
    }
    if (response.statusCode < 100) throw APIError::httpStatus(-1);
    if (response.statusCode < 200 || response.statusCode > 299) {
        auto refusal = APIError::httpStatus(response.statusCode).withRetryAfter(response.retryAfter());
        if (isFinalStorageRefusal(refusal)) throw PermanentRefusal(refusal.what());
        throw refusal;
    }
}

void UploadRunner::finishUpload(const UploadState& state, const ModelPtr& model) {
    // The service has the file; a stale state would only offer a resume that completes at once.
    removeState(state.clientRequestId);
    log_.info("Upload of " + state.media.fileName + " completed as task " + *state.taskId);
    host_.post([this, model, taskId = *state.taskId, fileName = state.media.fileName] {
        host_.completed(model, taskId, fileName);
    });
}

void UploadRunner::cleanupStaged(const UploadState& state) {
    if (!tokenProvider_.load()) return;
    std::string token;
    try {
        token = bearerToken(quit_.get_token());
    } catch (const std::exception& e) {
        log_.warning("Staged upload of " + state.media.fileName + " not cleaned up (no token): " + e.what());
        return;
    }
    try {
        const StagedUploadCleanupRequest request{state.taskId, state.objectKey, state.uploadId};
        apiClient_.postJSON<std::optional<EmptyResponse>>(kStagedUploadCleanupPath, request.toJSON(), token,
                                                          quit_.get_token());
    } catch (const std::exception& e) {
        // Best effort: the service expires staged uploads on its own.
        log_.warning("Staged upload of " + state.media.fileName + " not cleaned up: " + e.what());
    }
    if (quitting_) return;
    removeState(state.clientRequestId);
}

void UploadRunner::removeState(const std::string& clientRequestId) {
    try {
        stateStore_.remove(clientRequestId);
    } catch (const std::exception& e) {
        log_.warning(std::string("Upload state not removed: ") + e.what());
    }
}


}  // namespace vhbr
