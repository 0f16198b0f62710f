#include "Config/AppConfig.hpp"

#include "Platform/Url.hpp"
#include "Platform/UserDefaults.hpp"

namespace vhbr {

namespace {

std::string resolve(const Environment& environment, const UserDefaults& defaults, const std::string& key,
                    const std::string& fallback) {
    if (auto it = environment.find(key); it != environment.end() && url::isValid(it->second)) return it->second;
    if (auto stored = defaults.string(key); stored && url::isValid(*stored)) return *stored;
    return fallback;
}

}  // namespace

const std::string& AppConfig::defaultWebAppURL() {
    static const std::string value = "https://velvetharbor.example/app";
    return value;
}

const std::string& AppConfig::defaultAPIBaseURL() {
    static const std::string value = "https://api.velvetharbor.example";
    return value;
}

AppConfig AppConfig::current(const Environment& environment, const UserDefaults& defaults) {
    return AppConfig{resolve(environment, defaults, "VHBR_WEB_URL", defaultWebAppURL()),
                     resolve(environment, defaults, "VHBR_API_URL", defaultAPIBaseURL())};
}

std::string AppConfig::webOrigin() const { return url::origin(webAppURL).value_or(defaultWebAppURL()); }

}  // namespace vhbr
