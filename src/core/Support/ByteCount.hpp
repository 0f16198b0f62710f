#pragma once
// How every window and the CLI write a number of bytes: decimal units (powers of 1000, as the
// desktop's file manager counts) with one decimal: "1 byte", "999 bytes", "1.5 kB", "58.2 MB",
// "1.2 GB". One rule for all, so the same file never reads as two sizes in two places.
//
// Threads: pure; any thread.

#include <cstdint>
#include <string>

namespace vhbr::ByteCount {

// A negative count (never a real size) reads as "0 bytes".
std::string format(std::int64_t bytes);

}  // namespace vhbr::ByteCount
