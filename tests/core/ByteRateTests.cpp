#include <gtest/gtest.h>

#include "Support/ByteRate.hpp"
#include "Support/Errors.hpp"

namespace vhbr::test {
namespace {

TEST(ByteRate, CurlSpellingsAndRefusals) {
    const struct {
        const char* text;
        std::int64_t bytes;  // 0: refused
    } cases[] = {
        {"65536", 65536}, {"500K", 512000}, {"500k", 512000}, {"20M", 20 * 1048576},
        {"1.5M", 1572864}, {"1G", 1073741824}, {"0", 0},     {"0K", 0},
        {"-5M", 0},       {"fast", 0},      {"", 0},         {"M", 0},
        {"20 M", 0},      {"20MB", 0},      {"inf", 0},      {"0.5", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.bytes > 0)
            EXPECT_EQ(ByteRate::parse(c.text), c.bytes);
        else
            EXPECT_THROW(ByteRate::parse(c.text), AppError);
    }
}

}  // namespace
}  // namespace vhbr::test
