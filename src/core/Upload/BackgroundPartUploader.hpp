#pragma once
// Uploads parts by PUT to presigned URLs on its own transfer thread (at most 6 connections per
// host), each part read from the source with pread at its offset while it is sent, and turns each
// transfer's end back into one awaited result per part.
//
// Threads: upload() may be called from several worker threads at once; each call blocks until its
// transfer ends. Stopping a job does not interrupt a part already under way: the caller waits for
// the transfer's own end. Destroying the uploader ends waiting callers with CancelledError.

#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <stop_token>
#include <string>
#include <unordered_map>

#include "Platform/UrlSession.hpp"
#include "Upload/PartRange.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {

class BackgroundPartUploader {
public:
    explicit BackgroundPartUploader(std::string sessionIdentifier,
                                    std::chrono::milliseconds requestTimeout = kStallWindow);

    const std::string& sessionIdentifier() const { return sessionIdentifier_; }

    // One PUT of part's range of the open source descriptor, which the caller keeps open until the
    // call returns (each call reads the range afresh). Returns the part's number and entity tag
    // (quotes stripped, empty when the store sent none); fails with the transport error,
    // APIError::httpStatus for a status outside 200–299 (−1 when no HTTP status came back), or
    // FileSystemError when the source cannot be read or ends before the range does. Stopping quit
    // (the app is quitting) ends the transfer at once with CancelledError; a job's cancellation
    // does not.
    CompletedUploadPart upload(int source, const PartRange& part, const std::string& url, const std::string& mimeType,
                               std::stop_token quit = {});

private:
    void didComplete(UrlSession::TaskId id, HttpResult result);

    std::string sessionIdentifier_;
    std::chrono::milliseconds requestTimeout_;
    std::mutex lock_;  // guards the two maps; never held while a transfer starts or a caller resumes
    std::unordered_map<UrlSession::TaskId, std::promise<CompletedUploadPart>> continuations_;
    std::unordered_map<UrlSession::TaskId, std::int64_t> partNumbers_;
    UrlSession session_;  // last member: its thread stops before the maps go away
};

}  // namespace vhbr
