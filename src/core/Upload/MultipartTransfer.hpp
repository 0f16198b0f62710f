#pragma once
// The multipart transfer of one upload run: every part not yet acknowledged goes up, six at a time
// with three attempts each, read straight from the run's one source descriptor (no part files);
// every acknowledged part is saved at once, so a later run sends only what is missing.
//
// The named steps: submit (a part to a free worker), record (an acknowledged part, saved), fresh
// URLs (when the storage refuses a part's expired signature) and fail (the first failure ends the
// run; parts that the storage acknowledges meanwhile are still kept). Lost connectivity is no
// attempt of a part: it ends the run at once, abandoning the parts in flight, and the runner waits
// for the network before it starts another.
//
// Threads: one transfer lives on its upload's job thread, which calls run(); the part bodies run
// on the transfer's workers and only read the source, the part URLs given to them and the settings.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Services/APIClient.hpp"
#include "Support/Log.hpp"
#include "Upload/BackgroundPartUploader.hpp"
#include "Upload/PartRange.hpp"
#include "Upload/PartTransferGroup.hpp"
#include "Upload/SourceFile.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {

class MultipartTransfer {
public:
    // What a transfer uses of its runner; all of it outlives the transfer.
    struct Services {
        const APIClient& api;
        BackgroundPartUploader& uploader;
        const Log& log;
        std::chrono::milliseconds backoffBase;
        std::stop_token quit;                        // a pause or the app's quit: transfers end at once
        std::function<void(UploadState&)> save;      // persists the state (throws when it cannot)
        // The run's progress and the bytes the storage has, after a recorded part.
        std::function<void(double, std::int64_t)> progressed;
    };

    MultipartTransfer(Services services, UploadState& state, const SourceFile& source, std::string taskId,
                      std::string token, std::stop_token stop);
    MultipartTransfer(const MultipartTransfer&) = delete;
    MultipartTransfer& operator=(const MultipartTransfer&) = delete;

    // Sends every part the state does not list as acknowledged and returns once all are; throws
    // the first failure (CancelledError when stop was requested).
    void run();

    // The share of the upload that the state's acknowledged parts stand for (at most 0.92: the
    // completion steps are the rest).
    static double progress(const UploadState& state);
    // The bytes of the source that the state's acknowledged parts hold.
    static std::int64_t acknowledgedBytes(const UploadState& state);

private:
    void freshURLs();
    void submit(std::int64_t partNumber);
    void submitNext();
    void record(const CompletedUploadPart& part);
    void fail(std::exception_ptr error);
    // The user cancelled: the state goes, so nothing more is recorded. A pause or a quit also
    // stops the run but keeps every part the storage acknowledged.
    bool cancelled() const;
    // An outcome of the group, in the order parts finish.
    void handle(const PartTransferGroup::Outcome& outcome);
    // A part whose URL's signature expired goes again with a fresh one.
    void retryWithFreshURL(std::exception_ptr refusal);
    // On a worker: one part with its attempts; the source's identity is checked once its bytes
    // are sent, before it may be recorded.
    CompletedUploadPart sendPart(const PartRange& part, const std::string& url, std::stop_token workerStop) const;

    Services services_;
    UploadState& state_;
    const SourceFile& source_;
    const std::string taskId_;
    const std::string token_;
    const std::stop_token stop_;
    const std::int64_t totalParts_;
    std::map<std::int64_t, std::string> urlsByPart_;
    std::vector<std::int64_t> pending_;  // parts to send, ascending
    std::size_t nextPending_ = 0;
    std::exception_ptr firstError_;
    bool recordLateParts_ = true;
    int refreshesWithoutProgress_ = 0;
    // Ends the transfers in flight at once: the app quits, or connectivity is lost (those parts
    // are sent again when the run goes on).
    std::stop_source abandon_;
    std::optional<PartTransferGroup> group_;  // last: its workers end before what they read goes
};

}  // namespace vhbr
