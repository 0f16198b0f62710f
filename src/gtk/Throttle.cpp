#include "Throttle.hpp"

namespace vhbr::gtk {

Throttle::Throttle(std::chrono::milliseconds interval, std::function<void()> action)
    : interval_(interval), action_(std::move(action)) {}

Throttle::~Throttle() {
    if (source_) g_source_remove(source_);
}

void Throttle::request() {
    if (source_) {
        pending_ = true;
        return;
    }
    action_();
    source_ = g_timeout_add(static_cast<guint>(interval_.count()), onInterval, this);
}

gboolean Throttle::onInterval(gpointer data) {
    auto& self = *static_cast<Throttle*>(data);
    if (!self.pending_) {
        self.source_ = 0;
        return G_SOURCE_REMOVE;
    }
    self.pending_ = false;
    self.action_();
    return G_SOURCE_CONTINUE;
}

}  // namespace vhbr::gtk
