#include "DownloadPolicy.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace vhbr {

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

// The disposition type: the first non-empty piece before a ";", trimmed and lower-cased.
std::string dispositionType(std::string_view header) {
    while (!header.empty()) {
        const auto cut = header.find(';');
        const auto piece = header.substr(0, cut);
        if (!piece.empty()) return lowercased(trimmed(piece));
        if (cut == std::string_view::npos) break;
        header.remove_prefix(cut + 1);
    }
    return {};
}

}  // namespace

bool DownloadPolicy::shouldDownload(const DownloadResponse& response, bool canShowMIMEType) {
    const std::string mimeType = lowercased(response.mimeType.value_or(""));
    if (response.isHTTP && response.contentDisposition &&
        dispositionType(*response.contentDisposition) == "attachment")
        return true;
    if (!canShowMIMEType) return true;
    return mimeType.starts_with("video/") || mimeType.starts_with("audio/");
}

}  // namespace vhbr
