#include "SoftwareUpdater.hpp"

namespace vhbr {

namespace {

// The string under key, trimmed of white space and line breaks; none when missing, not a
// string, or blank.
std::optional<std::string> trimmedString(const nlohmann::json& dictionary, const char* key) {
    const auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_string()) return std::nullopt;
    const auto& text = it->get_ref<const std::string&>();
    static constexpr const char* kSpace = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) return std::nullopt;
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

std::optional<UpdaterSettings> updaterSettings(const BundleInfo& bundle) {
    auto feed = trimmedString(bundle.dictionary(), "SUFeedURL");
    if (!feed) return std::nullopt;
    auto key = trimmedString(bundle.dictionary(), "SUPublicEDKey");
    if (!key || *key == "SPARKLE_ED_PUBLIC_KEY_PLACEHOLDER") return std::nullopt;
    return UpdaterSettings{std::move(*feed), std::move(*key)};
}

}  // namespace vhbr
