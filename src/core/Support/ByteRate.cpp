#include "Support/ByteRate.hpp"

#include <cctype>
#include <charconv>
#include <cmath>

#include "Support/Errors.hpp"

namespace vhbr::ByteRate {

std::int64_t parse(std::string_view text) {
    const auto refuse = [&] {
        return AppError("“" + std::string(text) +
                        "” is not a speed limit: give bytes per second above 0, such as 500K or 20M.");
    };
    std::string_view number = text;
    double unit = 1;
    if (!number.empty()) {
        switch (std::tolower(static_cast<unsigned char>(number.back()))) {
            case 'k': unit = 1024.0; break;
            case 'm': unit = 1024.0 * 1024; break;
            case 'g': unit = 1024.0 * 1024 * 1024; break;
            default: break;
        }
        if (unit != 1) number.remove_suffix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
        throw refuse();
    const double bytes = std::floor(value * unit);
    // Below a byte a second nothing would ever move; beyond a petabyte a second is no limit.
    if (bytes < 1 || bytes > 1e15) throw refuse();
    return static_cast<std::int64_t>(bytes);
}

}  // namespace vhbr::ByteRate
