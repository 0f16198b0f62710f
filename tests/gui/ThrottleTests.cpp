// Progress bursts reach the tray and the launcher at most once per interval, and the last state
// is never dropped: the first request runs at once, a burst after it runs once at the interval's
// end, and a quiet interval ends the throttling.

#include "Throttle.hpp"

#include <glib.h>
#include <gtest/gtest.h>

namespace vhbr::gtk {
namespace {

void runLoopFor(int milliseconds) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    auto quit = [](gpointer data) {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
    };
    g_timeout_add(milliseconds, quit, loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
}

TEST(Throttle, RunsAtOnceThenMergesABurstIntoOneRunPerInterval) {
    int runs = 0;
    Throttle throttle(std::chrono::milliseconds(40), [&] { ++runs; });
    throttle.request();
    EXPECT_EQ(runs, 1);
    for (int i = 0; i < 10; ++i) throttle.request();
    EXPECT_EQ(runs, 1);
    runLoopFor(150);  // the merged run, then a quiet interval
    EXPECT_EQ(runs, 2);
    throttle.request();  // quiet since: at once again
    EXPECT_EQ(runs, 3);
}

}  // namespace
}  // namespace vhbr::gtk
