#pragma once

#include <string>

namespace vhbr {

// A random (version 4) UUID in upper-case canonical form.
std::string makeUuid();

}  // namespace vhbr
