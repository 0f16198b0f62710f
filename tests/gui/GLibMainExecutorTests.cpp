// The desktop app's main actor: work posted from any thread runs on the GLib main loop's thread,
// in order, and never inline (a caller inside a WebKit callback or holding a lock is not
// re-entered); work that throws does not stop the loop.

#include "GLibMainExecutor.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace vhbr::gtk {
namespace {

TEST(GLibMainExecutor, RunsPostedWorkOnTheLoopThreadInOrderNeverInlineAndPastAFailure) {
    GLibMainExecutor main;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    // The failure is reported as a critical, counted here instead of printed.
    static int criticals = 0;
    g_log_set_writer_func(
        [](GLogLevelFlags level, const GLogField*, gsize, gpointer) {
            if (level & G_LOG_LEVEL_CRITICAL) ++criticals;
            return G_LOG_WRITER_HANDLED;
        },
        nullptr, nullptr);
    std::vector<int> ran;

    main.post([&] { ran.push_back(1); });
    const bool ranInline = !ran.empty();
    main.post([] { throw std::runtime_error("boom"); });
    std::thread worker([&] {
        EXPECT_FALSE(main.isMainThread());
        main.post([&] {
            EXPECT_TRUE(main.isMainThread());
            ran.push_back(2);
            g_main_loop_quit(loop);
        });
    });
    worker.join();  // the last work is posted after the failing one
    g_main_loop_run(loop);
    g_main_loop_unref(loop);

    EXPECT_FALSE(ranInline);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(criticals, 1);
}

}  // namespace
}  // namespace vhbr::gtk
