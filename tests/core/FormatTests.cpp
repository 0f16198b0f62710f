// The one way sizes and percentages are written, whichever window or the CLI shows them.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "Support/ByteCount.hpp"
#include "Support/Percent.hpp"

namespace vhbr::test {
namespace {

TEST(ByteCount, DecimalUnitsWithOneDecimal) {
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 bytes"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1'000, "1.0 kB"},
        {1'550, "1.6 kB"},
        {999'949, "999.9 kB"},
        {999'950, "1.0 MB"},  // rounds up into the next unit, never "1000.0 kB"
        {1'000'000, "1.0 MB"},
        {58'200'000, "58.2 MB"},
        {1'234'567'890, "1.2 GB"},
        {5'000'000'000, "5.0 GB"},
        {std::numeric_limits<std::int64_t>::max(), "9.2 EB"},
        {-5, "0 bytes"},
    };
    for (const auto& c : cases) EXPECT_EQ(ByteCount::format(c.bytes), c.text) << c.bytes;
}

TEST(Percent, WholePercentNeverLosesOneToRounding) {
    const struct {
        double fraction;
        long long percent;
    } cases[] = {
        {0.0, 0}, {0.29, 29}, {0.57, 57}, {0.2899, 28}, {0.999, 99}, {1.0, 100},
    };
    for (const auto& c : cases) EXPECT_EQ(wholePercent(c.fraction), c.percent) << c.fraction;
}

}  // namespace
}  // namespace vhbr::test
