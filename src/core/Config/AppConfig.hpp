#pragma once
// Where the web app and the service API live. An immutable value, readable from any thread.

#include <string>

#include "Platform/Environment.hpp"

namespace vhbr {

class UserDefaults;

struct AppConfig {
    std::string webAppURL;
    std::string apiBaseURL;

    static const std::string& defaultWebAppURL();
    static const std::string& defaultAPIBaseURL();

    // Each URL from the environment, else the user defaults under the same key, else the
    // built-in default; values that do not parse as URLs are passed over silently.
    static AppConfig current(const Environment& environment, const UserDefaults& defaults);

    // Scheme, host and port of webAppURL; the default web app URL when that has no origin.
    std::string webOrigin() const;

    bool operator==(const AppConfig&) const = default;
};

}  // namespace vhbr
