#include "Platform/AppPaths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Support/Errors.hpp"

namespace vhbr {

namespace fs = std::filesystem;

namespace {

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    // No HOME (a stripped environment): ask the user database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && *result->pw_dir)
        return result->pw_dir;
    throw FileSystemError("Could not find your home folder.");
}

// The XDG variable when it holds an absolute path (relative values are invalid and ignored).
fs::path xdgBase(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    return homeDirectory() / fallbackUnderHome;
}

}  // namespace

fs::path appDataDirectory() { return xdgBase("XDG_DATA_HOME", ".local/share") / "Velvetharbor"; }

fs::path uploadsDirectory() { return appDataDirectory() / "Uploads"; }

fs::path uploadPartsDirectory() { return appDataDirectory() / "UploadParts"; }

fs::path configDirectory() { return xdgBase("XDG_CONFIG_HOME", ".config") / "velvetharbor"; }

}  // namespace vhbr
