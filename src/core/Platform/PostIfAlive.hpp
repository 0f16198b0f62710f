#pragma once
// Work posted to the main thread on behalf of an owner that may be gone by the time it runs: a
// worker's result for a model, a web view's deferred step. The owner keeps an AliveFlag, true from
// its construction, and sets it false on the main thread as it goes (first thing in its
// destructor); what it posted then does nothing instead of touching a destroyed object.
//
// Threads: postIfAlive from any thread. The flag is read (when the posted work runs) and written
// (by the owner's destructor) only on the main thread, so a plain bool is enough; other threads
// only copy the pointer.

#include <functional>
#include <memory>

#include "Platform/MainExecutor.hpp"

namespace vhbr {

using AliveFlag = std::shared_ptr<bool>;

inline AliveFlag makeAliveFlag() { return std::make_shared<bool>(true); }

// Runs fn on the main thread later, unless *alive is false by then.
void postIfAlive(MainExecutor& main, AliveFlag alive, std::function<void()> fn);

}  // namespace vhbr
