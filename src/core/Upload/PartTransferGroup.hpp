#pragma once
// Part uploads of one multipart run on a fixed set of worker threads (as many as the parts in
// flight), started in the order they were added, with results collected in the order they finish.
//
// Threads: add(), next() and the destructor are called only by the job thread that owns the run;
// cancelAll() from any thread. Bodies run on the workers.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "Upload/UploadState.hpp"

namespace vhbr {

class PartTransferGroup {
public:
    struct Outcome {
        std::optional<CompletedUploadPart> part;
        std::exception_ptr error;
    };
    using Body = std::function<CompletedUploadPart(std::stop_token)>;

    explicit PartTransferGroup(std::size_t workers);
    // Cancels what is left and waits for every worker to end.
    ~PartTransferGroup();
    PartTransferGroup(const PartTransferGroup&) = delete;
    PartTransferGroup& operator=(const PartTransferGroup&) = delete;

    // Queues body for the next free worker; a worker is started while fewer than the maximum run.
    void add(Body body);
    // The next finished body, or nothing once none is left. A body still queued when the group is
    // cancelled never runs: it ends with CancelledError.
    std::optional<Outcome> next();
    // Ends back-off sleeps and part writing at once; transfers already under way run to their end.
    void cancelAll() { stop_.request_stop(); }

private:
    void work();

    std::size_t maxWorkers_;
    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<Body> queue_;
    std::deque<Outcome> outcomes_;
    bool closing_ = false;
    int unfinished_ = 0;                 // added, not yet returned by next(); job thread only
    std::vector<std::jthread> workers_;  // last: joined before the queues go away
};

}  // namespace vhbr
