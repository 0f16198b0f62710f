#include "Platform/UserDefaults.hpp"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/AppPaths.hpp"
#include "Platform/AtomicFile.hpp"

namespace vhbr {

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    std::ifstream in(file_);
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    if (!json.is_object()) return;
    for (const auto& [key, value] : json.items())
        if (value.is_string()) values_[key] = value.get<std::string>();
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(configDirectory() / "defaults.json");
    return defaults;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void UserDefaults::set(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    // Every upload sets the remembered choices again; an unchanged value costs no synced write.
    const auto [it, inserted] = values_.try_emplace(key, value);
    if (!inserted && it->second == value) return;
    it->second = value;
    try {
        createPrivateDirectories(file_.parent_path());
        writeFileAtomically(file_, nlohmann::json(values_).dump());
    } catch (const std::exception&) {
        // Remembered choices are a convenience; losing them must not fail an upload.
    }
}

}  // namespace vhbr
