#include "Upload/PartTransferGroup.hpp"

namespace vhbr {

PartTransferGroup::~PartTransferGroup() { cancelAll(); }

void PartTransferGroup::add(Body body) {
    ++running_;
    children_.emplace_back([this, body = std::move(body)] {
        Outcome outcome;
        try {
            outcome.part = body(stop_.get_token());
        } catch (...) {
            outcome.error = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        outcomes_.push_back(std::move(outcome));
        finished_.notify_one();
    });
}

std::optional<PartTransferGroup::Outcome> PartTransferGroup::next() {
    if (running_ == 0) return std::nullopt;
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return !outcomes_.empty(); });
    Outcome outcome = std::move(outcomes_.front());
    outcomes_.pop_front();
    --running_;
    return outcome;
}

}  // namespace vhbr
