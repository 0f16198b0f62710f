// Multipart transfer: up to six part uploads at once with retries (fresh URLs for parts whose
// signature expired), each part file written just before its transfer and removed after it, every
// acknowledged part saved at once, then the storage told to assemble the parts.

#include <algorithm>
#include <map>

#include "Platform/CancellableSleep.hpp"
#include "Upload/PartTransferGroup.hpp"
#include "Upload/UploadAPIModels.hpp"
#include "Upload/UploadRunner.hpp"

namespace vhbr {

namespace {

constexpr std::size_t kPartsInFlight = 6;
constexpr int kAttemptsPerPart = 3;
constexpr double kProgressCeiling = 0.92;
// Fresh part URLs fetched in a row without a part acknowledged in between; a store that refuses
// even fresh signatures fails the upload rather than loop.
constexpr int kURLRefreshesWithoutProgress = 3;

// A part the storage refused with 403 Forbidden, which on a slow link means its URL's signature
// expired: the same URL cannot succeed, a fresh one can.
class PartURLRefused : public Error {
public:
    PartURLRefused(std::int64_t partNumber, std::string url, std::exception_ptr cause)
        : Error("The server returned status 403."),
          partNumber(partNumber),
          url(std::move(url)),
          cause(cause) {}
    std::int64_t partNumber;
    std::string url;
    std::exception_ptr cause;
};

CompletedUploadPart uploadPartWithRetry(BackgroundPartUploader& uploader, const PartFile& part,
                                        const std::string& url, const std::string& mimeType,
                                        std::chrono::milliseconds backoffBase, std::stop_token stop,
                                        std::stop_token quit, const Log& log) {
    for (int attempt = 1;; ++attempt) {
        try {
            return uploader.upload(part, url, mimeType, quit);
        } catch (const CancelledError&) {
            throw;  // the app is quitting: nothing to retry
        } catch (const std::exception& e) {
            if (const auto* api = dynamic_cast<const APIError*>(&e); api && api->status() == 403)
                throw PartURLRefused(part.partNumber, url, std::current_exception());
            if (attempt == kAttemptsPerPart) throw;
            log.info("Part " + std::to_string(part.partNumber) + " attempt " + std::to_string(attempt) +
                     " failed, retrying: " + e.what());
        } catch (...) {
            if (attempt == kAttemptsPerPart) throw;
        }
        sleepOrThrowIfStopped(backoffBase * (1 << (attempt - 1)), stop);
    }
}

std::int64_t acknowledgedBytes(const UploadState& state) {
    std::int64_t bytes = 0;
    for (const auto& part : state.completedParts)
        bytes += std::min<std::int64_t>(kPartSize, state.fileSize - (part.partNumber - 1) * kPartSize);
    return std::max<std::int64_t>(bytes, 0);
}

double multipartProgress(const UploadState& state) {
    if (state.fileSize <= 0) return kProgressCeiling;
    const auto uploaded = std::min<std::int64_t>(
        static_cast<std::int64_t>(state.completedParts.size()) * kPartSize, state.fileSize);
    return std::min(static_cast<double>(uploaded) / static_cast<double>(state.fileSize) * kProgressCeiling,
                    kProgressCeiling);
}

// A part file lives only while its part is being sent: acknowledged or failed, it goes at once.
struct PartFileRemoval {
    const std::filesystem::path& file;
    ~PartFileRemoval() {
        std::error_code ignored;  // whatever stays goes with the part folder at the end of the run
        std::filesystem::remove(file, ignored);
    }
};

bool byPartNumber(const CompletedUploadPart& a, const CompletedUploadPart& b) {
    return a.partNumber < b.partNumber;
}

}  // namespace

double UploadRunner::savedProgress(const UploadState& state) {
    return isMultipart(state) ? multipartProgress(state) : 0.0;
}

std::int64_t UploadRunner::savedBytes(const UploadState& state) {
    if (transferFinished(state)) return state.fileSize;
    return isMultipart(state) ? acknowledgedBytes(state) : 0;
}

void UploadRunner::uploadMultipart(UploadState& state, const SourceFile& source, const std::string& taskId,
                                    const std::string& token, const ModelPtr& model, std::stop_token stop,
                                    std::stop_token quit) {
    if (!state.objectKey || !state.uploadId) throw AppError("The multipart upload session was incomplete.");
    const UploadPartURLsRequest urlsRequest{*state.objectKey, *state.uploadId, partCount(state.fileSize)};
    std::map<std::int64_t, std::string> urlsByPart;
    const auto fetchURLs = [&] {
        const auto reply =
            apiClient_.postRaw(taskStepPath(taskId, "upload-part-urls"), urlsRequest.toJSON(), token, stop);
        reply.requireSuccess();
        const auto urls =
            UploadPartURLsResponse::decode(APIClient::parseJSON(reply.data), apiClient_.allowsLoopbackHttp());
        urls.requireCount(urlsRequest.totalParts);
        for (const auto& part : urls.parts) urlsByPart[part.partNumber] = part.url;
    };
    fetchURLs();

    // Part files never outlive a run, whichever way it ends (also a failed write: a full disk
    // must not stay full of half an upload).
    struct PartFilesCleanup {
        UploadRunner& runner;
        const std::string& id;
        ~PartFilesCleanup() { runner.removePartFiles(id); }
    } cleanup{*this, state.clientRequestId};

    const auto partDir = FilePartWriter::preparePartDirectory(state.clientRequestId, settings_.partDirectory);
    // Acknowledged parts (from an earlier run) are neither written nor sent again.
    std::vector<std::int64_t> pending;
    for (std::int64_t n = 1; n <= urlsRequest.totalParts; ++n) {
        const bool done = std::any_of(state.completedParts.begin(), state.completedParts.end(),
                                      [&](const auto& c) { return c.partNumber == n; });
        if (!done) pending.push_back(n);
    }

    // One worker per part in flight; each writes its part just before sending it, so the disk holds
    // at most the parts in flight. One more part is queued than there are workers, so a worker
    // that finishes starts the next part without waiting for this thread to record its result.
    PartTransferGroup group(kPartsInFlight);
    std::stop_callback cancelGroup(stop, [&group] { group.cancelAll(); });
    std::size_t nextIndex = 0;
    std::exception_ptr firstError;
    bool recordLateParts = true;
    int refreshesWithoutProgress = 0;
    const auto submit = [&](std::int64_t partNumber) {
        const auto url = urlsByPart.find(partNumber);
        if (url == urlsByPart.end()) {
            group.add([partNumber](std::stop_token) -> CompletedUploadPart {
                throw AppError("Missing upload URL for part " + std::to_string(partNumber) + ".");
            });
            return;
        }
        group.add([this, &source, &partDir, partNumber, fileSize = state.fileSize, url = url->second,
                   mime = state.mimeType, quit](std::stop_token childStop) {
            const PartFile part = FilePartWriter::plannedPart(partNumber, fileSize, partDir);
            // Also half a part that could not be written: on a full disk it is the space needed back.
            const PartFileRemoval removal{part.fileURL};
            FilePartWriter::writePart(source.descriptor(), source.path(), part, childStop);
            return uploadPartWithRetry(partUploader_, part, url, mime, settings_.backoffBase, childStop, quit,
                                       log_);
        });
    };
    const auto submitNext = [&] {
        if (nextIndex < pending.size()) submit(pending[nextIndex++]);
    };
    // Parts refused together share one fresh list: only a refusal of the current URL fetches again.
    const auto retryWithFreshURL = [&](const PartURLRefused& refused) {
        const auto current = urlsByPart.find(refused.partNumber);
        if (current != urlsByPart.end() && current->second == refused.url) {
            if (refreshesWithoutProgress == kURLRefreshesWithoutProgress)
                std::rethrow_exception(refused.cause);
            ++refreshesWithoutProgress;
            fetchURLs();
        }
        submit(refused.partNumber);
    };
    const auto record = [&](const CompletedUploadPart& part) {
        state.completedParts.push_back(part);
        std::sort(state.completedParts.begin(), state.completedParts.end(), byPartNumber);
        saveState(state);
        host_.post([this, model, progress = multipartProgress(state), bytes = acknowledgedBytes(state)] {
            model->setProgress(progress, bytes);
            host_.progressChanged();
        });
    };
    // Cancelled, the state goes and nothing more is recorded; paused or quitting, every part the
    // storage acknowledged is kept, so that the next run does not send it again.
    const auto cancelled = [&] { return stop.stop_requested() && !quit.stop_requested(); };
    const auto fail = [&](std::exception_ptr error) {
        firstError = error;
        recordLateParts = !cancelled();
        group.cancelAll();
    };

    for (std::size_t i = 0; i < std::min(pending.size(), kPartsInFlight + 1); ++i) submitNext();
    while (auto outcome = group.next()) {
        if (firstError) {
            if (!outcome->part || !recordLateParts || cancelled()) continue;
            try {
                record(*outcome->part);
            } catch (...) {
                recordLateParts = false;  // the first error stays the one reported
            }
            continue;
        }
        try {
            if (outcome->error) std::rethrow_exception(outcome->error);
            if (cancelled()) throw CancelledError();
            record(*outcome->part);
            if (stop.stop_requested()) throw CancelledError();
            refreshesWithoutProgress = 0;
            submitNext();
        } catch (const PartURLRefused& refused) {
            try {
                if (stop.stop_requested()) throw CancelledError();
                retryWithFreshURL(refused);
            } catch (...) {
                fail(std::current_exception());
            }
        } catch (...) {
            fail(std::current_exception());
        }
    }
    if (firstError) std::rethrow_exception(firstError);
}

void UploadRunner::completeMultipart(const UploadState& state, const std::string& taskId,
                                      const std::string& token, bool repeating, std::stop_token stop) {
    // Sorted here too: a state whose parts were all done before a resume may list them in any order.
    auto parts = state.completedParts;
    std::sort(parts.begin(), parts.end(), byPartNumber);
    CompleteMultipartUploadRequest request{*state.objectKey, *state.uploadId, {}};
    for (const auto& part : parts) request.parts.push_back({part.eTag, part.partNumber});
    const auto reply =
        apiClient_.postRaw(taskStepPath(taskId, "complete-multipart-upload"), request.toJSON(), token, stop);
    // Repeated after an interruption, the completion may find that the storage already assembled
    // the parts and forgot the upload ("no such upload", or "already completed"): only the
    // completion notice is left, and it tells whether the object is really there.
    if (repeating && (reply.statusCode == 404 || reply.statusCode == 409)) return;
    reply.requireSuccess();
}

}  // namespace vhbr
