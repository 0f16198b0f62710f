#pragma once
// Orders version strings the way people read them: "1.10" is newer than "1.9", "1.2" equals
// "1.2.0", and a release is newer than its pre-releases ("2.0b1" < "2.0").
// Threads: any (pure functions).

#include <string_view>

namespace vhbr {

class VersionComparator {
public:
    // Negative when a is older than b, zero when they are the same version, positive when newer.
    static int compare(std::string_view a, std::string_view b);
};

}  // namespace vhbr
