#include "Update/Appcast.hpp"

#include <charconv>
#include <pugixml.hpp>

#include "Support/Errors.hpp"
#include "Update/VersionComparator.hpp"

namespace vhbr {

namespace {

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string childText(const pugi::xml_node& node, const char* name) {
    return trimmed(node.child(name).text().as_string());
}

std::uint64_t parseLength(const char* text) {
    std::string_view v(text);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    return ec == std::errc() && end == v.data() + v.size() ? value : 0;
}

std::optional<AppcastItem> readItem(const pugi::xml_node& node) {
    const auto enclosure = node.child("enclosure");
    AppcastItem item;
    item.title = childText(node, "title");
    item.version = childText(node, "sparkle:version");
    if (item.version.empty()) item.version = trimmed(enclosure.attribute("sparkle:version").as_string());
    item.shortVersionString = childText(node, "sparkle:shortVersionString");
    if (item.shortVersionString.empty())
        item.shortVersionString = trimmed(enclosure.attribute("sparkle:shortVersionString").as_string());
    if (item.shortVersionString.empty()) item.shortVersionString = item.version;
    item.releaseNotes = trimmed(node.child("description").text().as_string());
    item.releaseNotesLink = childText(node, "sparkle:releaseNotesLink");
    auto& e = item.enclosure;
    e.url = trimmed(enclosure.attribute("url").as_string());
    e.length = parseLength(enclosure.attribute("length").as_string());
    e.edSignature = trimmed(enclosure.attribute("sparkle:edSignature").as_string());
    e.type = trimmed(enclosure.attribute("type").as_string());
    e.os = trimmed(enclosure.attribute("sparkle:os").as_string());
    // An update that cannot be verified is never offered, so an unsigned item is as good as absent.
    if (item.version.empty() || e.url.empty() || e.length == 0 || e.edSignature.empty() || e.os.empty())
        return std::nullopt;
    return item;
}

}  // namespace

Appcast Appcast::parse(std::string_view xml) {
    pugi::xml_document doc;
    // No DOCTYPE processing and no external entities: the feed is untrusted input.
    const auto parsed = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    const auto channel = doc.child("rss").child("channel");
    if (!parsed || !channel) throw AppError("The update information could not be read.");
    Appcast appcast;
    for (const auto& node : channel.children("item"))
        if (auto item = readItem(node)) appcast.items_.push_back(std::move(*item));
    return appcast;
}

std::optional<AppcastItem> Appcast::bestItem(std::string_view platform, std::string_view runningVersion,
                                             std::string_view skippedVersion) const {
    const AppcastItem* best = nullptr;
    for (const auto& item : items_) {
        if (item.enclosure.os != platform) continue;
        if (VersionComparator::compare(item.version, runningVersion) <= 0) continue;
        if (!best || VersionComparator::compare(item.version, best->version) > 0) best = &item;
    }
    // Skipping a version also quiets everything older; only a newer release is offered again.
    if (!best || (!skippedVersion.empty() && VersionComparator::compare(best->version, skippedVersion) <= 0))
        return std::nullopt;
    return *best;
}

}  // namespace vhbr
