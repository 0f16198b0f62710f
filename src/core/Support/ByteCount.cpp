#include "Support/ByteCount.hpp"

#include <array>
#include <cstdio>

namespace vhbr::ByteCount {

std::string format(std::int64_t bytes) {
    if (bytes < 1000) return bytes == 1 ? "1 byte" : std::to_string(bytes < 0 ? 0 : bytes) + " bytes";
    static constexpr std::array<const char*, 6> kUnits = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    // Compare with what one decimal rounds to, so 999,950 bytes reads "1.0 MB", not "1000.0 kB".
    while (unit + 1 < kUnits.size() && value >= 999.95) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace vhbr::ByteCount
