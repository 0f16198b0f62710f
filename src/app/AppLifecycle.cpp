#include "AppLifecycle.hpp"

#include <cctype>

namespace vhbr::AppLifecycle {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

bool hasSchemeIgnoringCase(const std::string& uri, std::string_view scheme) {
    if (uri.size() <= scheme.size() || uri[scheme.size()] != ':') return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(uri[i])) != scheme[i]) return false;
    return true;
}

}  // namespace

std::optional<std::filesystem::path> filePathFromURI(const std::string& uri) {
    if (!hasSchemeIgnoringCase(uri, "file")) return std::nullopt;
    std::string_view path = std::string_view(uri).substr(5);
    if (path.starts_with("//")) {
        path.remove_prefix(2);
        const auto slash = path.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        const auto host = path.substr(0, slash);
        if (!host.empty() && host != "localhost") return std::nullopt;  // another machine's file
        path.remove_prefix(slash);
    }
    if (!path.starts_with('/')) return std::nullopt;
    path = path.substr(0, path.find_first_of("?#"));
    const auto decoded = percentDecoded(path);
    if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
    return std::filesystem::path(*decoded);
}

OpenedURIs sortOpenedURIs(const std::vector<std::string>& uris) {
    OpenedURIs opened;
    const std::string linkPrefix = std::string(kLinkScheme) + ":";
    for (const auto& uri : uris) {
        if (auto path = filePathFromURI(uri))
            opened.files.push_back(std::move(*path));
        else if (uri.starts_with(linkPrefix))
            opened.presentWindow = true;
    }
    return opened;
}

std::optional<QuitConfirmation> quitConfirmation(std::size_t activeUploads) {
    if (activeUploads == 0) return std::nullopt;
    const std::string stopping =
        activeUploads == 1 ? "1 upload will stop." : std::to_string(activeUploads) + " uploads will stop.";
    return QuitConfirmation{"Quit while uploads are active?",
                            stopping + " Relaunch Velvetharbor to resume incomplete uploads.", "Quit", "Cancel"};
}

}  // namespace vhbr::AppLifecycle
