#include "Upload/MultipartTransfer.hpp"

#include <algorithm>

#include "Platform/CancellableSleep.hpp"
#include "Upload/UploadAPIModels.hpp"
#include "Upload/UploadFailure.hpp"

namespace vhbr {

namespace {

constexpr std::size_t kPartsInFlight = 6;
constexpr int kAttemptsPerPart = 3;
// A storage asking a part to wait (Retry-After) is heeded up to this; longer, the next attempt says.
constexpr std::chrono::milliseconds kLongestPartWait = std::chrono::seconds(60);
constexpr double kProgressCeiling = 0.92;
// Fresh part URLs fetched in a row without a part acknowledged in between; a store that refuses
// even fresh signatures fails the upload rather than loop.
constexpr int kURLRefreshesWithoutProgress = 3;

// A part the storage refused with 403 Forbidden, which on a slow link means its URL's signature
// expired: the same URL cannot succeed, a fresh one can.
class PartURLRefused : public Error {
public:
    PartURLRefused(std::int64_t partNumber, std::string url, std::exception_ptr cause)
        : Error("The server returned status 403."), partNumber(partNumber), url(std::move(url)), cause(cause) {}
    std::int64_t partNumber;
    std::string url;
    std::exception_ptr cause;
};

bool byPartNumber(const CompletedUploadPart& a, const CompletedUploadPart& b) { return a.partNumber < b.partNumber; }

}  // namespace

MultipartTransfer::MultipartTransfer(Services services, UploadState& state, const SourceFile& source,
                                     std::string taskId, std::string token, std::stop_token stop)
    : services_(std::move(services)),
      state_(state),
      source_(source),
      taskId_(std::move(taskId)),
      token_(std::move(token)),
      stop_(std::move(stop)),
      totalParts_(partCount(state.media.fileSize)) {}

double MultipartTransfer::progress(const UploadState& state) {
    if (state.media.fileSize <= 0) return kProgressCeiling;
    const auto uploaded = std::min<std::int64_t>(
        static_cast<std::int64_t>(state.completedParts.size()) * kPartSize, state.media.fileSize);
    return std::min(static_cast<double>(uploaded) / static_cast<double>(state.media.fileSize) * kProgressCeiling,
                    kProgressCeiling);
}

std::int64_t MultipartTransfer::acknowledgedBytes(const UploadState& state) {
    std::int64_t bytes = 0;
    for (const auto& part : state.completedParts) bytes += PartRange::of(part.partNumber, state.media.fileSize).length;
    return std::max<std::int64_t>(bytes, 0);
}

bool MultipartTransfer::cancelled() const { return stop_.stop_requested() && !services_.quit.stop_requested(); }

void MultipartTransfer::run() {
    if (!state_.objectKey || !state_.uploadId) throw AppError("The multipart upload session was incomplete.");
    freshURLs();
    // Acknowledged parts (from an earlier run) are not sent again.
    for (std::int64_t n = 1; n <= totalParts_; ++n) {
        const bool done = std::any_of(state_.completedParts.begin(), state_.completedParts.end(),
                                      [&](const auto& c) { return c.partNumber == n; });
        if (!done) pending_.push_back(n);
    }
    // One worker per part in flight. One more part is queued than there are workers, so a worker
    // that finishes starts the next part without waiting for this thread to record its result.
    std::stop_callback onQuit(services_.quit, [this] { abandon_.request_stop(); });
    group_.emplace(kPartsInFlight);
    std::stop_callback cancelGroup(stop_, [this] { group_->cancelAll(); });
    for (std::size_t i = 0; i < std::min(pending_.size(), kPartsInFlight + 1); ++i) submitNext();
    while (auto outcome = group_->next()) handle(*outcome);
    if (firstError_) std::rethrow_exception(firstError_);
}

void MultipartTransfer::freshURLs() {
    const UploadPartURLsRequest request{*state_.objectKey, *state_.uploadId, totalParts_};
    const auto reply =
        services_.api.postRaw(taskStepPath(taskId_, "upload-part-urls"), request.toJSON(), token_, stop_);
    requireServiceSuccess(reply, /*alreadyCompleteMeansDone=*/true);
    const auto urls =
        UploadPartURLsResponse::decode(APIClient::parseJSON(reply.data), services_.api.allowsLoopbackHttp());
    urls.requireCount(totalParts_);
    for (const auto& part : urls.parts) urlsByPart_[part.partNumber] = part.url;
}

void MultipartTransfer::submit(std::int64_t partNumber) {
    const auto url = urlsByPart_.find(partNumber);
    if (url == urlsByPart_.end()) {
        group_->add([partNumber](std::stop_token) -> CompletedUploadPart {
            throw AppError("Missing upload URL for part " + std::to_string(partNumber) + ".");
        });
        return;
    }
    group_->add([this, part = PartRange::of(partNumber, state_.media.fileSize), url = url->second](
                    std::stop_token workerStop) { return sendPart(part, url, workerStop); });
}

void MultipartTransfer::submitNext() {
    if (nextPending_ < pending_.size()) submit(pending_[nextPending_++]);
}

CompletedUploadPart MultipartTransfer::sendPart(const PartRange& part, const std::string& url,
                                                std::stop_token workerStop) const {
    for (int attempt = 1;; ++attempt) {
        std::optional<CompletedUploadPart> sent;
        std::optional<std::chrono::seconds> retryAfter;
        try {
            sent = services_.uploader.upload(source_.descriptor(), part, url, state_.media.mimeType,
                                             abandon_.get_token());
        } catch (const CancelledError&) {
            throw;  // the app is quitting or the run abandons its parts: nothing to retry
        } catch (const FileSystemError&) {
            source_.requireUnchanged();  // a source that ended early was changed: say so
            throw;
        } catch (const std::exception& e) {
            if (isConnectivityFailure(std::current_exception())) throw;  // the whole run waits
            const auto* api = dynamic_cast<const APIError*>(&e);
            if (api && api->status() == 403) throw PartURLRefused(part.partNumber, url, std::current_exception());
            if (api && isFinalStorageRefusal(*api)) throw PermanentRefusal(e.what());
            if (attempt == kAttemptsPerPart) throw;
            retryAfter = askedToWait(std::current_exception());
            services_.log.info("Part " + std::to_string(part.partNumber) + " attempt " + std::to_string(attempt) +
                               " failed, retrying: " + e.what());
        }
        if (sent) {
            // What the storage holds is what was validated only if the file did not change while
            // the part was read.
            source_.requireUnchanged();
            return *sent;
        }
        // The storage's own word on when to try again counts, up to the longest wait a part makes.
        const auto backoff = std::chrono::duration_cast<std::chrono::milliseconds>(services_.backoffBase * (1 << (attempt - 1)));
        sleepOrThrowIfStopped(retryAfter ? std::clamp<std::chrono::milliseconds>(*retryAfter, backoff, kLongestPartWait) : backoff,
                              workerStop);
    }
}

void MultipartTransfer::handle(const PartTransferGroup::Outcome& outcome) {
    if (firstError_) {
        // A part the storage acknowledged while the others end is kept for the next run, unless
        // the user cancelled (the state goes).
        if (!outcome.part || !recordLateParts_ || cancelled()) return;
        try {
            record(*outcome.part);
        } catch (...) {
            recordLateParts_ = false;  // the first error stays the one reported
        }
        return;
    }
    try {
        if (outcome.error) std::rethrow_exception(outcome.error);
        if (cancelled()) throw CancelledError();
        // Paused or quitting, a part the storage acknowledged is kept, so that the next run does
        // not send it again.
        record(*outcome.part);
        if (stop_.stop_requested()) throw CancelledError();
        refreshesWithoutProgress_ = 0;
        submitNext();
    } catch (const PartURLRefused&) {
        try {
            if (stop_.stop_requested()) throw CancelledError();
            retryWithFreshURL(std::current_exception());
        } catch (...) {
            fail(std::current_exception());
        }
    } catch (...) {
        fail(std::current_exception());
    }
}

void MultipartTransfer::record(const CompletedUploadPart& part) {
    state_.completedParts.push_back(part);
    std::sort(state_.completedParts.begin(), state_.completedParts.end(), byPartNumber);
    services_.save(state_);
    services_.progressed(progress(state_), acknowledgedBytes(state_));
}

// Parts refused together share one fresh list: only a refusal of the current URL fetches again.
void MultipartTransfer::retryWithFreshURL(std::exception_ptr refusal) {
    try {
        std::rethrow_exception(refusal);
    } catch (const PartURLRefused& refused) {
        const auto current = urlsByPart_.find(refused.partNumber);
        if (current != urlsByPart_.end() && current->second == refused.url) {
            if (refreshesWithoutProgress_ == kURLRefreshesWithoutProgress) std::rethrow_exception(refused.cause);
            ++refreshesWithoutProgress_;
            freshURLs();
        }
        submit(refused.partNumber);
    }
}

void MultipartTransfer::fail(std::exception_ptr error) {
    firstError_ = error;
    recordLateParts_ = !cancelled();
    group_->cancelAll();
    if (isConnectivityFailure(error)) abandon_.request_stop();
}

}  // namespace vhbr
