#include "Upload/BackgroundPartUploader.hpp"

#include "Support/Errors.hpp"

namespace vhbr {

namespace {

constexpr long kMaxConnectionsPerHost = 6;

std::string strippingQuotes(std::string tag) {
    const auto first = tag.find_first_not_of('"');
    if (first == std::string::npos) return {};
    return tag.substr(first, tag.find_last_not_of('"') - first + 1);
}

}  // namespace

BackgroundPartUploader::BackgroundPartUploader(std::string sessionIdentifier,
                                               std::chrono::milliseconds requestTimeout)
    : sessionIdentifier_(std::move(sessionIdentifier)),
      requestTimeout_(requestTimeout),
      session_(UrlSession::Options{kMaxConnectionsPerHost}) {}

CompletedUploadPart BackgroundPartUploader::upload(int source, const PartRange& part, const std::string& url,
                                                   const std::string& mimeType, std::stop_token quit) {
    HttpRequest request;
    request.method = "PUT";
    request.url = url;
    request.headers = {{"Content-Type", mimeType}};
    request.bodySlice = HttpRequest::BodySlice{source, part.offset, part.length};
    request.idleTimeout = requestTimeout_;
    request.connectTimeout = requestTimeout_;
    request.maxReplyBytes = 0;

    const auto id = session_.createTask(std::move(request), [this](UrlSession::TaskId t, HttpResult r) {
        didComplete(t, std::move(r));
    });
    std::future<CompletedUploadPart> result;
    {
        std::lock_guard guard(lock_);
        result = continuations_[id].get_future();
        partNumbers_[id] = part.partNumber;
    }
    // Registered before the transfer starts, so a quit at any moment reaches it.
    std::stop_callback onQuit(quit, [this, id] { session_.cancel(id); });
    session_.resume(id);
    return result.get();
}

void BackgroundPartUploader::didComplete(UrlSession::TaskId id, HttpResult result) {
    std::promise<CompletedUploadPart> caller;
    std::int64_t partNumber = 0;
    {
        std::lock_guard guard(lock_);
        auto it = continuations_.find(id);
        if (it == continuations_.end()) return;  // nobody waits for this transfer any more
        caller = std::move(it->second);
        continuations_.erase(it);
        partNumber = partNumbers_[id];
        partNumbers_.erase(id);
    }
    if (result.error) {
        caller.set_exception(result.error);
    } else if (const long status = result.response.statusCode; status >= 200 && status <= 299) {
        // Without its ETag an accepted part can never be named in the completion: a failed attempt.
        auto eTag = strippingQuotes(result.response.header("ETag").value_or(""));
        if (eTag.empty())
            caller.set_exception(std::make_exception_ptr(
                AppError("The storage accepted part " + std::to_string(partNumber) + " without an ETag.")));
        else
            caller.set_value({std::move(eTag), partNumber});
    } else {
        caller.set_exception(std::make_exception_ptr(
            APIError::httpStatus(status > 0 ? status : -1).withRetryAfter(result.response.retryAfter())));
    }
}

}  // namespace vhbr
