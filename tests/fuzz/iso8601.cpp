// Dates as the service and the saved states write them: the whole-second form of the state files
// and the fractional form of the sign-in's expiry.
//
// Invariants: both parsers return a value or nothing, never throw or overflow; a whole-second
// date formats back to exactly its text (the form is canonical, so a state file's dates survive a
// save); the fractional parser reads the same instant as the whole-second one with ".0" added;
// the two forms never both accept one text; a date the clock cannot hold is refused, not wrapped.

#include <chrono>
#include <string>

#include "FuzzCheck.hpp"
#include "Support/ISO8601.hpp"

using namespace vhbr;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::asText(data, size));
    const auto seconds = parseISO8601Seconds(text);
    const auto fractional = parseISO8601Fractional(text);
    check(!(seconds && fractional), "one text read as both forms", text);
    if (seconds) {
        check(formatISO8601(*seconds) == text, "a whole-second date does not format back to its text", text);
        const std::string withFraction = text.substr(0, text.size() - 1) + ".0Z";
        const auto again = parseISO8601Fractional(withFraction);
        // The clock behind the fractional form holds the years 1678 to 2261 (nanoseconds in 64 bits).
        const int year = std::stoi(text.substr(0, 4));
        if (year >= 1678 && year <= 2261)
            check(again && *again == std::chrono::system_clock::time_point(*seconds),
                  "the fractional form reads another instant", withFraction);
        else if (year < 1677 || year > 2262)
            check(!again, "a date beyond the clock's range was read", withFraction);
    }
    if (fractional) {
        const auto whole = std::chrono::floor<std::chrono::seconds>(*fractional);
        const auto reparsed = parseISO8601Seconds(formatISO8601(whole));
        check(reparsed && *reparsed == whole, "a fractional date's second does not round trip", text);
    }
    return 0;
}
