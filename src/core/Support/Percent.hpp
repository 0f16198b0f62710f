#pragma once
// The whole percentage shown for a fraction (0.4567 -> 45). A fraction such as 0.29 is stored
// as 0.28999…, so a plain floor of fraction * 100 would show one percent too little; the small
// tolerance absorbs that rounding without ever rounding a real 0.2899 up.
//
// Threads: any.

#include <cmath>

namespace vhbr {

inline long long wholePercent(double fraction) {
    return static_cast<long long>(std::floor(fraction * 100.0 + 1e-9));
}

}  // namespace vhbr
