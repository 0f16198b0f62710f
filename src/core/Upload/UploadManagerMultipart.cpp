// Multipart transfer: part files, up to six part uploads at once with retries (fresh URLs for parts
// whose signature expired), every acknowledged part saved at once, then the storage told to
// assemble the parts.

#include <algorithm>
#include <map>

#include "Platform/CancellableSleep.hpp"
#include "Upload/PartTransferGroup.hpp"
#include "Upload/UploadAPIModels.hpp"
#include "Upload/UploadManager.hpp"

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
    PartURLRefused(PartFile part, std::string url, std::exception_ptr cause)
        : Error("The server returned status 403."), part(std::move(part)), url(std::move(url)), cause(cause) {}
    PartFile part;
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
                throw PartURLRefused(part, url, std::current_exception());
            if (attempt == kAttemptsPerPart) throw;
            log.info("Part " + std::to_string(part.partNumber) + " attempt " + std::to_string(attempt) +
                     " failed, retrying: " + e.what());
        } catch (...) {
            if (attempt == kAttemptsPerPart) throw;
        }
        sleepOrThrowIfStopped(backoffBase * (1 << (attempt - 1)), stop);
    }
}

double multipartProgress(const UploadState& state) {
    if (state.fileSize <= 0) return kProgressCeiling;
    const auto uploaded = std::min<std::int64_t>(
        static_cast<std::int64_t>(state.completedParts.size()) * kPartSize, state.fileSize);
    return std::min(static_cast<double>(uploaded) / static_cast<double>(state.fileSize) * kProgressCeiling,
                    kProgressCeiling);
}

}  // namespace

void UploadManager::uploadMultipart(UploadState& state, const SourceFile& source, const std::string& taskId,
                                    const std::string& token, const ModelPtr& model, std::stop_token stop) {
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
        UploadManager& manager;
        const std::string& id;
        ~PartFilesCleanup() { manager.removePartFiles(id); }
    } cleanup{*this, state.clientRequestId};

    const auto partFiles = FilePartWriter::writeParts(source.descriptor(), source.path(), state.fileSize,
                                                      state.clientRequestId, options_.partDirectory, stop);
    std::vector<PartFile> pending;
    for (const auto& part : partFiles) {
        const bool done = std::any_of(state.completedParts.begin(), state.completedParts.end(),
                                      [&](const auto& c) { return c.partNumber == part.partNumber; });
        if (!done) pending.push_back(part);
    }

    PartTransferGroup group;
    std::stop_callback cancelGroup(stop, [&group] { group.cancelAll(); });
    std::size_t nextIndex = 0;
    std::exception_ptr firstError;
    int refreshesWithoutProgress = 0;
    const auto submit = [&](const PartFile& part) {
        group.add([this, part, url = urlsByPart.at(part.partNumber), mime = state.mimeType](std::stop_token childStop) {
            return uploadPartWithRetry(partUploader_, part, url, mime, options_.backoffBase, childStop,
                                       quit_.get_token(), log_);
        });
    };
    const auto submitNext = [&] {
        if (nextIndex < pending.size()) submit(pending[nextIndex++]);
    };
    // Parts refused together share one fresh list: only a refusal of the current URL fetches again.
    const auto retryWithFreshURL = [&](const PartURLRefused& refused) {
        if (urlsByPart.at(refused.part.partNumber) == refused.url) {
            if (refreshesWithoutProgress == kURLRefreshesWithoutProgress) std::rethrow_exception(refused.cause);
            ++refreshesWithoutProgress;
            fetchURLs();
        }
        submit(refused.part);
    };

    for (std::size_t i = 0; i < std::min(pending.size(), kPartsInFlight); ++i) submitNext();
    while (auto outcome = group.next()) {
        if (firstError) continue;  // draining: parts acknowledged after a failure are not recorded
        try {
            if (outcome->error) std::rethrow_exception(outcome->error);
            if (stop.stop_requested()) throw CancelledError();
            state.completedParts.push_back(*outcome->part);
            std::sort(state.completedParts.begin(), state.completedParts.end(),
                      [](const auto& a, const auto& b) { return a.partNumber < b.partNumber; });
            saveState(state);
            onMain([this, model, progress = multipartProgress(state)] {
                model->setProgress(progress);
                updateDockBadge();
            });
            refreshesWithoutProgress = 0;
            submitNext();
        } catch (const PartURLRefused& refused) {
            try {
                if (stop.stop_requested()) throw CancelledError();
                retryWithFreshURL(refused);
            } catch (...) {
                firstError = std::current_exception();
                group.cancelAll();
            }
        } catch (...) {
            firstError = std::current_exception();
            group.cancelAll();
        }
    }
    if (firstError) std::rethrow_exception(firstError);
}

void UploadManager::completeMultipart(const UploadState& state, const std::string& taskId,
                                      const std::string& token, bool repeating, std::stop_token stop) {
    CompleteMultipartUploadRequest request{*state.objectKey, *state.uploadId, {}};
    for (const auto& part : state.completedParts) request.parts.push_back({part.eTag, part.partNumber});
    const auto reply =
        apiClient_.postRaw(taskStepPath(taskId, "complete-multipart-upload"), request.toJSON(), token, stop);
    // Repeated after an interruption, the completion may find that the storage already assembled
    // the parts and forgot the upload ("no such upload", or "already completed"): only the
    // completion notice is left, and it tells whether the object is really there.
    if (repeating && (reply.statusCode == 404 || reply.statusCode == 409)) return;
    reply.requireSuccess();
}

}  // namespace vhbr
