#pragma once
// Part uploads of one multipart run, each on its own thread, with results collected in the order
// they finish. Used only by the job thread that owns the run.

#include <condition_variable>
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

    PartTransferGroup() = default;
    // Cancels what is left and waits for every child to end.
    ~PartTransferGroup();
    PartTransferGroup(const PartTransferGroup&) = delete;
    PartTransferGroup& operator=(const PartTransferGroup&) = delete;

    void add(Body body);
    // The next finished child, or nothing once none is left.
    std::optional<Outcome> next();
    // Ends back-off sleeps at once; transfers already under way run to their end.
    void cancelAll() { stop_.request_stop(); }

private:
    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::deque<Outcome> outcomes_;
    int running_ = 0;
    std::vector<std::jthread> children_;  // last: joined before the queue goes away
};

}  // namespace vhbr
