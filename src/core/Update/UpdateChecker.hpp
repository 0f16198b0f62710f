#pragma once
// "Check for Updates…" without a display: fetches the feed, offers the newest release for this
// install, and on "Install Update" downloads, verifies and installs it. A dialog only draws
// state() and calls the operations; it redraws on signalChanged.
//
//   idle ──check──> checking ──> upToDate(version) | available(item, notes) | failed(message)
//   available ──installUpdate──> downloading(received/expected) ──> verifying ──> installing
//             ──> installed(relaunchProgram)                       (tarball install)
//             ──> readyToOpen(package)                             (Debian package: hand it to
//                                                                    the software installer)
//   available ──skipThisVersion / remindMeLater──> idle;   any running phase ──cancel──> idle
//
// Threads: construct, call every member and read state() on the main thread. Network, disk and
// verification run on one worker thread, which posts each result through the MainExecutor.

#include <sigc++/signal.h>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "Platform/PostIfAlive.hpp"
#include "Update/Appcast.hpp"
#include "Update/UpdateDownloader.hpp"
#include "Update/UpdateInstallation.hpp"

namespace vhbr {

class UrlSession;
class UserDefaults;

class UpdateChecker {
public:
    // The settings key under which "Skip This Version" remembers the skipped version.
    static constexpr const char* kSkippedVersionKey = "SUSkippedVersion";

    struct Configuration {
        std::string feedURL;              // "SUFeedURL", trimmed (the app decides that an updater exists)
        std::string publicKey;            // "SUPublicEDKey", trimmed
        std::string runningVersion;       // compared with the feed's versions
        std::string runningShortVersion;  // shown in "You're up to date."
        UpdateInstallation installation;
        std::filesystem::path downloadDirectory;  // ours alone: emptied when a download starts
        UpdateDownloader::Options network;
        std::chrono::milliseconds progressInterval{100};  // at most one progress post per interval
    };

    enum class Phase {
        idle,
        checking,
        upToDate,
        available,
        downloading,
        verifying,
        installing,
        installed,
        readyToOpen,
        failed
    };

    struct State {
        Phase phase = Phase::idle;
        std::string upToDateVersion;            // upToDate: the running short version
        std::optional<AppcastItem> item;        // available and every later phase of its install
        bool canInstall = false;                // available: false for an install that cannot update itself
        std::uint64_t received = 0;             // downloading
        std::uint64_t expected = 0;             // downloading: the published length
        std::filesystem::path relaunchProgram;  // installed: start this, then quit
        std::filesystem::path package;          // readyToOpen: the verified .deb
        std::string message;                    // failed: what went wrong, in plain words
    };

    // The .deb's content type, for choosing the application that opens it.
    static constexpr const char* kDebianPackageType = "application/vnd.debian.binary-package";

    UpdateChecker(Configuration configuration, MainExecutor& executor, UserDefaults& defaults,
                  UrlSession& session);
    // Stops the worker (a running download ends as cancelled) and waits for it.
    ~UpdateChecker();
    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;

    const State& state() const { return state_; }
    const Configuration& configuration() const { return configuration_; }
    // Emitted on the main thread after every change of state().
    sigc::signal<void()> signalChanged;

    // Starts a check unless one is under way or an update is being installed. A check the user
    // asked for also offers a version they skipped and reports "up to date" and failures; a
    // background check (userInitiated false) respects the skip and goes back to idle quietly
    // unless an update is available.
    void checkForUpdates(bool userInitiated = true);
    // available: download, verify and install the offered item.
    void installUpdate();
    // available: remember the offered version as skipped; back to idle.
    void skipThisVersion();
    // available, upToDate, failed, installed, readyToOpen: back to idle (nothing remembered).
    void remindMeLater();
    // checking or downloading: stop at once; back to idle. The partial download is removed.
    void cancel();

    // $XDG_CACHE_HOME (or ~/.cache) + "velvetharbor/updates".
    static std::filesystem::path defaultDownloadDirectory();

private:
    using Work = std::function<void(std::stop_token)>;

    void startWorker(Work work);
    void stopWorker();
    // Worker thread: run fn on the main thread if this checker and this run are still current.
    void postIfCurrent(std::uint64_t run, std::function<void(UpdateChecker&)> fn);
    void setState(State state);
    void fail(std::string message);

    void checkOnWorker(bool userInitiated, std::uint64_t run, std::stop_token stop);
    void installOnWorker(AppcastItem item, std::uint64_t run, std::stop_token stop);
    std::filesystem::path downloadPath(const AppcastItem& item) const;
    void removeEarlierDownloads() const;

    Configuration configuration_;
    MainExecutor& executor_;
    UserDefaults& defaults_;
    UpdateDownloader downloader_;
    State state_;
    std::uint64_t run_ = 0;                 // main thread; a new run makes posts of earlier ones stale
    AliveFlag alive_ = makeAliveFlag();     // none of its posts runs after destruction
    std::jthread worker_;
};

}  // namespace vhbr
