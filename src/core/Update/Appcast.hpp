#pragma once
// The update feed: an RSS 2.0 channel in the appcast format, one item per published package.
//
//   <item>
//     <title>Velvetharbor 1.2</title>
//     <sparkle:version>1.2.0</sparkle:version>                 (or as an enclosure attribute)
//     <sparkle:shortVersionString>1.2</sparkle:shortVersionString>
//     <description><![CDATA[release notes]]></description>
//     <sparkle:releaseNotesLink>https://…</sparkle:releaseNotesLink>   (optional)
//     <enclosure url="https://…" length="123" type="application/gzip"
//                sparkle:os="linux-x86_64-tarball" sparkle:edSignature="base64"/>
//   </item>
//
// "sparkle:os" names the platform as <os>-<machine>-<package>, the package being "tarball" or
// "deb", because a tarball install and a Debian-package install update from different files.
// Threads: any (values and pure functions).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vhbr {

struct AppcastEnclosure {
    std::string url;
    std::uint64_t length = 0;
    std::string edSignature;  // base64 of the 64-byte ed25519 signature of the file
    std::string type;
    std::string os;
};

struct AppcastItem {
    std::string title;
    std::string version;             // compared with the running version
    std::string shortVersionString;  // shown to the user; the version when the feed has none
    std::string releaseNotes;        // the item's description (HTML or text)
    std::string releaseNotesLink;
    AppcastEnclosure enclosure;
};

class Appcast {
public:
    // Reads a feed. Items without a version, or whose enclosure lacks a URL, a positive length,
    // a signature or a platform, cannot be installed and are left out. Throws AppError when the
    // text is not an RSS feed at all.
    static Appcast parse(std::string_view xml);

    const std::vector<AppcastItem>& items() const { return items_; }

    // The newest item for platform whose version is above runningVersion; absent when there is
    // none, or when it is not above the version the user chose to skip.
    std::optional<AppcastItem> bestItem(std::string_view platform, std::string_view runningVersion,
                                        std::string_view skippedVersion = {}) const;

private:
    std::vector<AppcastItem> items_;
};

}  // namespace vhbr
