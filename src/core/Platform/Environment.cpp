#include "Platform/Environment.hpp"

#include <unistd.h>

namespace vhbr {

Environment processEnvironment() {
    Environment env;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        if (auto eq = text.find('='); eq != std::string::npos) env.emplace(text.substr(0, eq), text.substr(eq + 1));
    }
    return env;
}

}  // namespace vhbr
