#include <gtest/gtest.h>

#include <cmath>

#include "TempDir.hpp"
#include "UploadSpeedLimit.hpp"

namespace vhbr::test {
namespace {

// The choice is applied at once, saved, and read back by the next start; a limit of 0 or
// nonsense is refused and changes nothing.
TEST(UploadSpeedLimitTest, AppliedSavedAndRestored) {
    TempDir dir;
    UserDefaults defaults(dir / "defaults.json");
    RateLimiter limiter;
    {
        UploadSpeedLimit limit(defaults, limiter);
        EXPECT_FALSE(limit.enabled());
        EXPECT_EQ(limiter.rate(), 0);
        limit.setEnabled(true);
        EXPECT_EQ(limiter.rate(), 5'000'000);
        EXPECT_EQ(limit.setMegabytesPerSecond(20), std::nullopt);
        EXPECT_EQ(limiter.rate(), 20'000'000);
        for (const double refused : {0.0, -1.0, std::nan("")})
            EXPECT_EQ(limit.setMegabytesPerSecond(refused), "The speed limit must be more than 0 MB/s.");
        EXPECT_EQ(limiter.rate(), 20'000'000);
    }
    limiter.setRate(0);
    UserDefaults reread(dir / "defaults.json");
    UploadSpeedLimit restored(reread, limiter);
    EXPECT_TRUE(restored.enabled());
    EXPECT_EQ(restored.megabytesPerSecond(), 20);
    EXPECT_EQ(limiter.rate(), 20'000'000);
    restored.setEnabled(false);
    EXPECT_EQ(limiter.rate(), 0);
}

}  // namespace
}  // namespace vhbr::test
