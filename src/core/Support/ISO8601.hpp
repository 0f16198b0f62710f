#pragma once
// ISO 8601 internet date-time text, in the two exact forms the engine reads and writes.
// Pure functions; any thread.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vhbr {

// "YYYY-MM-DDTHH:MM:SSZ" in UTC.
std::string formatISO8601(std::chrono::sys_seconds time);

// Accepts exactly "YYYY-MM-DDTHH:MM:SSZ"; a fraction, an offset or any other form gives nullopt.
std::optional<std::chrono::sys_seconds> parseISO8601Seconds(std::string_view text);

// Accepts exactly "YYYY-MM-DDTHH:MM:SS.f…" followed by "Z" or "±HH:MM"; the fraction (one or more
// digits) is required. Digits beyond the clock's precision are dropped.
std::optional<std::chrono::system_clock::time_point> parseISO8601Fractional(std::string_view text);

}  // namespace vhbr
