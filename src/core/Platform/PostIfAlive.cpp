#include "Platform/PostIfAlive.hpp"

namespace vhbr {

void postIfAlive(MainExecutor& main, AliveFlag alive, std::function<void()> fn) {
    main.post([alive = std::move(alive), fn = std::move(fn)] {
        if (*alive) fn();
    });
}

}  // namespace vhbr
