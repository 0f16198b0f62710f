// Work posted for an owner runs on the main thread while the owner lives, and not after.

#include <gtest/gtest.h>

#include <thread>

#include "Platform/PostIfAlive.hpp"
#include "Platform/RunLoop.hpp"

namespace vhbr::test {
namespace {

TEST(PostIfAlive, RunsOnTheMainThreadOnlyWhileTheOwnerLives) {
    RunLoop loop;
    auto alive = makeAliveFlag();
    int ran = 0;
    bool onMain = false;
    std::thread([&] {
        postIfAlive(loop, alive, [&] {
            ++ran;
            onMain = loop.isMainThread();
        });
    }).join();
    EXPECT_EQ(ran, 0);  // never inline
    ASSERT_TRUE(loop.runUntil([&] { return ran == 1; }));
    EXPECT_TRUE(onMain);

    bool ranAfterDeath = false;
    postIfAlive(loop, alive, [&] { ranAfterDeath = true; });
    *alive = false;  // the owner's destructor, before the loop gets to the work
    bool drained = false;
    loop.post([&] { drained = true; });
    ASSERT_TRUE(loop.runUntil([&] { return drained; }));
    EXPECT_FALSE(ranAfterDeath);
}

}  // namespace
}  // namespace vhbr::test
