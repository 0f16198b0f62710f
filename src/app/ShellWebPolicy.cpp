#include "ShellWebPolicy.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace vhbr::ShellWebPolicy {

namespace {

// The scheme of url, lower-cased, when it has one ("scheme:" with a letter first).
std::optional<std::string> schemeOf(const std::string& url) {
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return std::nullopt;
    std::string scheme = url.substr(0, colon);
    const bool wellFormed = std::all_of(scheme.begin(), scheme.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '+' || c == '-' || c == '.';
    });
    if (!wellFormed) return std::nullopt;
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return scheme;
}

constexpr std::array<std::string_view, 5> kInsideSchemes = {"http", "https", "about", "blob", "data"};

}  // namespace

std::string userAgentApplicationName(const BundleInfo& bundle) {
    return "VelvetharborMac/" + bundle.shortVersionString();
}

NavigationVerdict decideNavigation(const NavigationAction& action) {
    if (!action.url) return {Decision::allow, std::nullopt};
    if (action.shouldPerformDownload) return {Decision::download, std::nullopt};
    const auto scheme = schemeOf(*action.url);
    if (!scheme) return {Decision::allow, std::nullopt};
    if (std::find(kInsideSchemes.begin(), kInsideSchemes.end(), *scheme) != kInsideSchemes.end())
        return {Decision::allow, std::nullopt};
    // A page must not make the desktop open local files (a launcher, a script): cancelled only.
    if (*scheme == "file") return {Decision::cancel, std::nullopt};
    return {Decision::cancel, *action.url};
}

Decision decideResponse(const DownloadResponse& response, bool canShowMIMEType) {
    return DownloadPolicy::shouldDownload(response, canShowMIMEType) ? Decision::download : Decision::allow;
}

std::optional<std::string> newWindowTarget(const std::optional<std::string>& url) {
    if (!url || url->empty() || schemeOf(*url) == "file") return std::nullopt;
    return url;
}

FileChooserSetup fileChooserSetup(const FileInputParameters& parameters) {
    return {true, parameters.allowsDirectories, parameters.allowsMultipleSelection};
}

}  // namespace vhbr::ShellWebPolicy
