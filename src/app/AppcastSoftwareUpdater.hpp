#pragma once
// The updater engine behind the menus' "Check for Updates…": an UpdateChecker over this build's
// feed and key (as updaterSettings() decided them), the running version from Info.json and the
// way this copy was installed. The front end's update dialog draws checker().state() and calls
// the checker's operations; it opens when the state leaves idle.
//
// Threads: main thread only (the checker posts its workers' results there).

#include "SoftwareUpdater.hpp"
#include "Update/UpdateChecker.hpp"

namespace vhbr {

class MainExecutor;
class UrlSession;
class UserDefaults;

class AppcastSoftwareUpdater : public SoftwareUpdater {
public:
    AppcastSoftwareUpdater(const UpdaterSettings& settings, const BundleInfo& bundle, MainExecutor& main,
                           UserDefaults& defaults, UrlSession& session);

    // At launch: once a tarball update runs, the version it replaced is removed (best effort).
    static void removeReplacedVersions(const UpdateInstallation& installation);

    // The configuration for settings and bundle, installed as the running process was.
    static UpdateChecker::Configuration configuration(const UpdaterSettings& settings,
                                                      const BundleInfo& bundle);

    // False while a check, download or install is under way.
    bool canCheckForUpdates() const override;
    void checkForUpdates() override;

    UpdateChecker& checker() override { return checker_; }

private:
    UpdateChecker checker_;
};

}  // namespace vhbr
