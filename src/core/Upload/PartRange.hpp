#pragma once
// How a multipart upload cuts its source: numbered 10 MiB ranges, the last one shorter. Each part
// is read from the source at send time (no part files): plain values, any thread.

#include <algorithm>
#include <cstdint>

namespace vhbr {

inline constexpr std::int64_t kPartSize = 10'485'760;  // 10 MiB

// ceil(fileSize / kPartSize), and 1 for an empty or unknown size.
inline std::int64_t partCount(std::int64_t fileSize) {
    return fileSize > 0 ? (fileSize + kPartSize - 1) / kPartSize : 1;
}

// The bytes of one part in the source.
struct PartRange {
    std::int64_t partNumber = 0;  // 1-based
    std::int64_t offset = 0;
    std::int64_t length = 0;

    // Part partNumber of a source of fileSize bytes.
    static PartRange of(std::int64_t partNumber, std::int64_t fileSize) {
        const std::int64_t offset = (partNumber - 1) * kPartSize;
        return {partNumber, offset, std::max<std::int64_t>(0, std::min(fileSize - offset, kPartSize))};
    }

    bool operator==(const PartRange&) const = default;
};

}  // namespace vhbr
