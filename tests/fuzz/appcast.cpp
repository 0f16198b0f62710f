// The update feed as the updater reads it: any bytes the feed's server (or whoever sits on the way)
// returns.
//
// Invariants: a feed that cannot be read fails with AppError only (the check reports it and the
// app goes on); every item kept can be installed (a version, a URL, a positive length, a
// signature, a platform); the item offered is for the asked platform, newer than the running
// version and than a skipped one, and no item for that platform is newer.

#include "Update/Appcast.hpp"
#include "FuzzCheck.hpp"
#include "Support/Errors.hpp"
#include "Update/VersionComparator.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

void checkOffer(const Appcast& feed, const std::string& platform, const std::string& running,
                const std::string& skipped) {
    const auto best = feed.bestItem(platform, running, skipped);
    if (!best) {
        if (!skipped.empty()) return;
        for (const auto& item : feed.items())
            check(item.enclosure.os != platform || VersionComparator::compare(item.version, running) <= 0,
                  "a newer item was not offered", item.version);
        return;
    }
    check(best->enclosure.os == platform, "an item for another platform was offered", best->enclosure.os);
    check(VersionComparator::compare(best->version, running) > 0, "an item not newer was offered",
          best->version);
    if (!skipped.empty())
        check(VersionComparator::compare(best->version, skipped) > 0, "a skipped version was offered again");
    for (const auto& item : feed.items())
        check(item.enclosure.os != platform || VersionComparator::compare(item.version, best->version) <= 0,
              "a newer item than the one offered exists", item.version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Appcast feed;
    if (!fuzz::succeeds<AppError>([&] { feed = Appcast::parse(fuzz::asText(data, size)); }, "Appcast::parse"))
        return 0;
    for (const auto& item : feed.items()) {
        check(!item.version.empty() && !item.shortVersionString.empty(), "an item without a version");
        const auto& e = item.enclosure;
        check(!e.url.empty() && e.length > 0 && !e.edSignature.empty() && !e.os.empty(),
              "an item that cannot be installed was kept", item.version);
    }
    checkOffer(feed, "linux-x86_64-tarball", "1.0", "");
    if (!feed.items().empty()) {
        const auto& first = feed.items().front();
        checkOffer(feed, first.enclosure.os, first.version, "");
        checkOffer(feed, first.enclosure.os, "0", first.version);
    }
    return 0;
}
