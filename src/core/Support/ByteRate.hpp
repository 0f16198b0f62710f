#pragma once
// Speed limits as people type them, in curl's spelling: bytes per second, with an optional K, M or
// G suffix (either case) for 1024, 1024² or 1024³: "500K", "20M", "1.5M", "65536".
//
// Threads: pure; any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace vhbr::ByteRate {

// Bytes per second; throws AppError with a message fit for the user for 0, a negative or
// unreadable value.
std::int64_t parse(std::string_view text);

}  // namespace vhbr::ByteRate
