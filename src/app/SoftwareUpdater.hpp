#pragma once
// Whether this build updates itself, and the updater's two operations as the menus use them.
// A build updates itself only when its Info.json names a feed and a real public key: a build
// whose key was never filled in must not install anything it cannot verify.
//
// Threads: main thread only.

#include <sigc++/signal.h>

#include <optional>
#include <string>

#include "Support/BundleInfo.hpp"
#include "Update/UpdateChecker.hpp"

namespace vhbr {

// The update settings of a build configured for signed updates.
struct UpdaterSettings {
    std::string feedURL;      // "SUFeedURL", trimmed
    std::string publicEDKey;  // "SUPublicEDKey", trimmed

    bool operator==(const UpdaterSettings&) const = default;
};

// Both values must be JSON strings, non-empty after trimming white space and line breaks, and
// the key must not be "SPARKLE_ED_PUBLIC_KEY_PLACEHOLDER"; otherwise there is no updater.
std::optional<UpdaterSettings> updaterSettings(const BundleInfo& bundle);

// The updater engine (feed, download, signature check), supplied by the desktop app. The menus
// use its two operations; the update window draws and drives its checker.
class SoftwareUpdater {
public:
    virtual ~SoftwareUpdater() = default;
    // False while a check is already running or the updater cannot work at the moment.
    virtual bool canCheckForUpdates() const = 0;
    // Starts a user-visible check; only called while canCheckForUpdates() is true.
    virtual void checkForUpdates() = 0;
    // The check, download and install behind the operations, with the state the window draws.
    virtual UpdateChecker& checker() = 0;
    // Emitted after canCheckForUpdates() may have changed (a check began or ended), so that menus
    // that stay built, as the tray's, follow it.
    sigc::signal<void()> canCheckChanged;
};

}  // namespace vhbr
