#include "Upload/PartTransferGroup.hpp"

#include "Support/Errors.hpp"

namespace vhbr {

PartTransferGroup::PartTransferGroup(std::size_t workers) : maxWorkers_(workers == 0 ? 1 : workers) {}

PartTransferGroup::~PartTransferGroup() {
    cancelAll();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    queued_.notify_all();
    workers_.clear();  // joins; queued bodies are answered as cancelled on the way out
}

void PartTransferGroup::add(Body body) {
    ++unfinished_;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(body));
    }
    if (workers_.size() < maxWorkers_ && static_cast<std::size_t>(unfinished_) > workers_.size())
        workers_.emplace_back([this] { work(); });
    else
        queued_.notify_one();
}

void PartTransferGroup::work() {
    for (;;) {
        Body body;
        {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [this] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            body = std::move(queue_.front());
            queue_.pop_front();
        }
        Outcome outcome;
        try {
            if (stop_.stop_requested()) throw CancelledError();
            outcome.part = body(stop_.get_token());
        } catch (...) {
            outcome.error = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            outcomes_.push_back(std::move(outcome));
        }
        finished_.notify_one();
    }
}

std::optional<PartTransferGroup::Outcome> PartTransferGroup::next() {
    if (unfinished_ == 0) return std::nullopt;
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return !outcomes_.empty(); });
    Outcome outcome = std::move(outcomes_.front());
    outcomes_.pop_front();
    --unfinished_;
    return outcome;
}

}  // namespace vhbr
