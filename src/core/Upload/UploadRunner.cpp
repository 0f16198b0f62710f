// The job of one upload: state on disk, task, upload session, transfer, completion, clean-up.

#include <chrono>

#include "Upload/SourceBookmark.hpp"
#include "Upload/SourceFile.hpp"
#include "Upload/UploadAPIModels.hpp"
#include "Upload/UploadJobLock.hpp"
#include "Upload/UploadRunner.hpp"

namespace vhbr {

namespace {

bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CancelledError&) {
        return true;
    } catch (...) {
        return false;
    }
}

std::chrono::sys_seconds now() {
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

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
    state.fileName = draft.fileName;
    state.fileSize = draft.fileSize;
    state.mimeType = draft.mimeType;
    state.durationHint = draft.durationHint;
    state.intent = draft.intent;
    state.sourceLanguage = draft.sourceLanguage;
    state.targetLanguage = draft.targetLanguage;
    state.createdAt = state.updatedAt = now();
    runGuarded(state, model, cancel, pause, [&](UploadState& s, const Stops& stops) {
        // The file must still be the one validated for the draft; from here on only this
        // descriptor is read.
        std::optional<SourceFile> source;
        source.emplace(draft.fileURL, draft.fileSize, std::nullopt);
        s.sourceBookmark = source->bookmark();
        saveState(s);
        perform(s, source, model, stops);
    });
}

void UploadRunner::discard(UploadState state, const ModelPtr& model) {
    std::stop_source cancelled;
    cancelled.request_stop();
    // The same way out as a running upload that is cancelled, under the same lock.
    runGuarded(state, model, cancelled.get_token(), {}, [](UploadState&, const Stops&) { throw CancelledError(); });
    removePartFiles(state.clientRequestId);
}

void UploadRunner::resume(UploadState state, const ModelPtr& model, std::stop_token cancel, std::stop_token pause) {
    runGuarded(state, model, cancel, pause, [&](UploadState& s, const Stops& stops) {
        std::optional<SourceFile> source;
        // Completing needs no source: every byte is already with the storage.
        if (!transferFinished(s)) {
            if (!s.sourceBookmark)
                throw AppError("The original file permission is missing. Start this upload again.");
            source.emplace(SourceBookmark::resolve(*s.sourceBookmark), s.fileSize, s.sourceBookmark);
        }
        perform(s, source, model, stops);
    });
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
            log_.info("Upload of " + state.fileName + " paused");
            host_.post([model] { model->setStatus(UploadTaskStatus::paused()); });
            return;
        }
        if (cancel.stop_requested() || isCancellation(error)) {
            log_.info("Upload of " + state.fileName + " cancelled");
            host_.post([model] { model->setStatus(UploadTaskStatus::cancelled()); });
            cleanupStaged(state);
            return;
        }
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
        request.media = {state.fileName, state.fileSize, state.mimeType, state.durationHint};
        state.taskId =
            apiClient_.postJSON<CreateTaskResponse>(kCreateTaskPath, request.toJSON(), token, stop).id;
        saveState(state);
    }
    const std::string taskId = *state.taskId;
    host_.post([model, taskId] { model->setTaskID(taskId); });

    const bool repeating = transferFinished(state);
    if (!repeating) {
        transfer(state, *source, taskId, token, model, stops);
        // What was sent is what was validated only if the file did not change meanwhile.
        source->requireUnchanged();
        state.completing = true;
        saveState(state);
    }
    complete(state, taskId, token, repeating, model, stops);
}

void UploadRunner::transfer(UploadState& state, const SourceFile& source, const std::string& taskId,
                             const std::string& token, const ModelPtr& model, const Stops& stops) {
    const std::stop_token stop = stops.stop;
    const bool multipart = isMultipart(state);
    std::optional<std::string> presignedURL;
    if (!(multipart && state.objectKey && state.uploadId)) {
        const UploadSessionRequest request{state.fileName, state.mimeType, state.fileSize, multipart};
        const auto response =
            apiClient_.postRaw(taskStepPath(taskId, "upload-session"), request.toJSON(), token, stop);
        response.requireSuccess();
        const auto session =
            UploadSessionResponse::decode(APIClient::parseJSON(response.data), apiClient_.allowsLoopbackHttp());
        if (session.objectKey || session.key)
            state.objectKey = session.objectKey ? session.objectKey : session.key;
        if (session.uploadId) state.uploadId = session.uploadId;
        presignedURL = session.presignedURL;
        saveState(state);
    }
    host_.post([model] { model->setStatus(UploadTaskStatus::uploading()); });

    if (multipart) {
        uploadMultipart(state, source, taskId, token, model, stop, stops.quit);
    } else {
        if (!presignedURL) throw AppError("The upload URL was missing.");
        uploadSingleFile(source, state.fileSize, *presignedURL, state.mimeType, stop);
        host_.post([model, size = state.fileSize] { model->setProgress(0.95, size); });
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
    const UploadCompleteRequest complete{*state.objectKey, std::nullopt,   state.fileName,
                                         state.fileSize,   state.mimeType, state.durationHint};
    if (stop.stop_requested()) throw CancelledError();
    // Once sent, the notice may be accepted whatever happens to its reply, and an accepted task
    // must never be cleaned up: from here only a quit or a pause (which keep the state) interrupts.
    apiClient_.postRaw(taskStepPath(taskId, "upload-complete"), complete.toJSON(), token, stops.quit)
        .requireSuccess();
    finishUpload(state, model);
}

void UploadRunner::uploadSingleFile(const SourceFile& source, std::int64_t fileSize,
                                     const std::string& presignedURL, const std::string& mimeType,
                                     std::stop_token stop) {
    HttpRequest request;
    request.method = "PUT";
    request.url = presignedURL;
    request.headers = {{"Content-Type", mimeType}};
    request.bodySlice = HttpRequest::BodySlice{source.descriptor(), 0, fileSize};
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
    if (response.statusCode < 200 || response.statusCode > 299)
        throw APIError::httpStatus(response.statusCode);
}

void UploadRunner::finishUpload(const UploadState& state, const ModelPtr& model) {
    // The service has the file; a stale state would only offer a resume that completes at once.
    removeState(state.clientRequestId);
    removePartFiles(state.clientRequestId);
    log_.info("Upload of " + state.fileName + " completed as task " + *state.taskId);
    host_.post([this, model, taskId = *state.taskId, fileName = state.fileName] {
        host_.completed(model, taskId, fileName);
    });
}

void UploadRunner::cleanupStaged(const UploadState& state) {
    if (!tokenProvider_.load()) return;
    std::string token;
    try {
        token = bearerToken(quit_.get_token());
    } catch (const std::exception& e) {
        log_.warning("Staged upload of " + state.fileName + " not cleaned up (no token): " + e.what());
        return;
    }
    try {
        const StagedUploadCleanupRequest request{state.taskId, state.objectKey, state.uploadId};
        apiClient_.postJSON<std::optional<EmptyResponse>>(kStagedUploadCleanupPath, request.toJSON(), token,
                                                          quit_.get_token());
    } catch (const std::exception& e) {
        // Best effort: the service expires staged uploads on its own.
        log_.warning("Staged upload of " + state.fileName + " not cleaned up: " + e.what());
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

void UploadRunner::removePartFiles(const std::string& clientRequestId) {
    if (const auto error = FilePartWriter::cleanup(clientRequestId, settings_.partDirectory))
        log_.warning("Part files of " + clientRequestId + " not removed: " + error.message());
}

}  // namespace vhbr
