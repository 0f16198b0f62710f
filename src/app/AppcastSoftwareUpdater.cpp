#include "AppcastSoftwareUpdater.hpp"

#include "Update/TarballInstaller.hpp"

namespace vhbr {

namespace {

// "CFBundleVersion" orders releases; builds that carry only the short version use that.
std::string runningVersion(const BundleInfo& bundle) {
    const auto it = bundle.dictionary().find("CFBundleVersion");
    if (it != bundle.dictionary().end() && it->is_string() && !it->get<std::string>().empty())
        return it->get<std::string>();
    return bundle.shortVersionString();
}

}  // namespace

UpdateChecker::Configuration AppcastSoftwareUpdater::configuration(const UpdaterSettings& settings,
                                                                   const BundleInfo& bundle) {
    UpdateChecker::Configuration c;
    c.feedURL = settings.feedURL;
    c.publicKey = settings.publicEDKey;
    c.runningVersion = runningVersion(bundle);
    c.runningShortVersion = bundle.shortVersionString();
    c.installation = UpdateInstallation::current();
    try {
        c.downloadDirectory = UpdateChecker::defaultDownloadDirectory();
    } catch (const std::exception&) {
        // No home folder: a check still works; an install reports that it cannot save the file.
    }
    return c;
}

AppcastSoftwareUpdater::AppcastSoftwareUpdater(const UpdaterSettings& settings, const BundleInfo& bundle,
                                               MainExecutor& main, UserDefaults& defaults,
                                               UrlSession& session)
    : checker_(configuration(settings, bundle), main, defaults, session) {
    removeReplacedVersions(checker_.configuration().installation);
    checker_.signalChanged.connect([this] { canCheckChanged.emit(); });
}

void AppcastSoftwareUpdater::removeReplacedVersions(const UpdateInstallation& installation) {
    if (installation.kind != UpdateInstallation::Kind::tarball) return;
    TarballInstaller(installation.root).removeOldVersions(installation.versionFolder);
}

bool AppcastSoftwareUpdater::canCheckForUpdates() const {
    switch (checker_.state().phase) {
        case UpdateChecker::Phase::checking:
        case UpdateChecker::Phase::downloading:
        case UpdateChecker::Phase::verifying:
        case UpdateChecker::Phase::installing:
            return false;
        default:
            return true;
    }
}

void AppcastSoftwareUpdater::checkForUpdates() { checker_.checkForUpdates(/*userInitiated=*/true); }

}  // namespace vhbr
