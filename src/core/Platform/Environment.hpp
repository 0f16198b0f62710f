#pragma once

#include <map>
#include <string>

namespace vhbr {

using Environment = std::map<std::string, std::string>;

// A snapshot of the process environment.
Environment processEnvironment();

}  // namespace vhbr
