#include "Support/ISO8601.hpp"

#include <cstdio>

namespace vhbr {

namespace {

using namespace std::chrono;

// Reads count decimal digits at pos; nullopt if any is not a digit.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Parses the leading "YYYY-MM-DDTHH:MM:SS" (19 characters) as a UTC time.
std::optional<sys_seconds> parseDateTime(std::string_view text) {
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':')
        return std::nullopt;
    auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
    if (!date.ok()) return std::nullopt;
    return sys_days{date} + hours{*h} + minutes{*mi} + seconds{*s};
}

// Parses "Z" or "±HH:MM" making up the whole of text, as the offset east of UTC.
std::optional<minutes> parseZone(std::string_view text) {
    if (text == "Z") return minutes{0};
    if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
    auto h = digits(text, 1, 2), m = digits(text, 4, 2);
    if (!h || !m || *h > 23 || *m > 59) return std::nullopt;
    const minutes offset = hours{*h} + minutes{*m};
    return text[0] == '-' ? -offset : offset;
}

}  // namespace

std::string formatISO8601(sys_seconds time) {
    const auto day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return buffer;
}

std::optional<sys_seconds> parseISO8601Seconds(std::string_view text) {
    if (text.size() != 20 || text[19] != 'Z') return std::nullopt;
    return parseDateTime(text);
}

std::optional<system_clock::time_point> parseISO8601Fractional(std::string_view text) {
    auto whole = parseDateTime(text);
    if (!whole || text.size() < 21 || text[19] != '.') return std::nullopt;
    std::size_t pos = 20;
    nanoseconds fraction{0};
    nanoseconds unit{100'000'000};
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        fraction += unit * (text[pos] - '0');
        unit /= 10;
    }
    if (pos == 20) return std::nullopt;
    auto offset = parseZone(text.substr(pos));
    if (!offset) return std::nullopt;
    // The clock counts nanoseconds in 64 bits, about 292 years either side of 1970: a date outside
    // that cannot be held (converting it would overflow) and reads like any other unusable text.
    constexpr auto kLimit = duration_cast<seconds>(system_clock::duration::max()) - seconds{1};
    const sys_seconds utc = *whole - *offset;
    if (utc.time_since_epoch() > kLimit || utc.time_since_epoch() < -kLimit) return std::nullopt;
    return system_clock::time_point{utc} + duration_cast<system_clock::duration>(fraction);
}

}  // namespace vhbr
