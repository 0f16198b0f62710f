#include "Update/UpdateChecker.hpp"

#include <cstdlib>

#include "Platform/AtomicFile.hpp"
#include "Platform/MainExecutor.hpp"
#include "Platform/UrlSession.hpp"
#include "Platform/UserDefaults.hpp"
#include "Support/Errors.hpp"
#include "Update/TarballInstaller.hpp"
#include "Update/UpdateVerifier.hpp"

namespace vhbr {

namespace fs = std::filesystem;

namespace {

// The description the user reads; anything unexpected still gets a sentence.
std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const AppError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("The update failed: ") + e.what();
    } catch (...) {
        return "The update failed for an unknown reason.";
    }
}

// Keeps the last component of the enclosure's path when it is a plain file name.
std::string fileNameFromURL(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.empty() || name.front() == '.' ||
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-") !=
            std::string::npos)
        return {};
    return name;
}

}  // namespace

UpdateChecker::UpdateChecker(Configuration configuration, MainExecutor& executor, UserDefaults& defaults,
                             UrlSession& session)
    : configuration_(std::move(configuration)),
      executor_(executor),
      defaults_(defaults),
      downloader_(session, configuration_.network) {}

UpdateChecker::~UpdateChecker() {
    *alive_ = false;
    stopWorker();
}

fs::path UpdateChecker::defaultDownloadDirectory() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && fs::path(cache).is_absolute()) return fs::path(cache) / "velvetharbor" / "updates";
    const char* home = std::getenv("HOME");
    if (!home || !*home) throw FileSystemError("Could not find your home folder.");
    return fs::path(home) / ".cache" / "velvetharbor" / "updates";
}

void UpdateChecker::setState(State state) {
    state_ = std::move(state);
    signalChanged.emit();
}

void UpdateChecker::fail(std::string message) {
    State s;
    s.phase = Phase::failed;
    s.item = state_.item;
    s.message = std::move(message);
    setState(std::move(s));
}

void UpdateChecker::stopWorker() {
    if (!worker_.joinable()) return;
    worker_.request_stop();
    worker_.join();
}

void UpdateChecker::startWorker(Work work) {
    stopWorker();
    worker_ = std::jthread(std::move(work));
}

void UpdateChecker::postIfCurrent(std::uint64_t run, std::function<void(UpdateChecker&)> fn) {
    postIfAlive(executor_, alive_, [this, run, fn = std::move(fn)] {
        if (run_ == run) fn(*this);
    });
}

void UpdateChecker::checkForUpdates(bool userInitiated) {
    switch (state_.phase) {
        case Phase::checking:
        case Phase::downloading:
        case Phase::verifying:
        case Phase::installing:
            return;
        default:
            break;
    }
    const std::uint64_t run = ++run_;
    State s;
    s.phase = Phase::checking;
    setState(std::move(s));
    startWorker(
        [this, userInitiated, run](std::stop_token stop) { checkOnWorker(userInitiated, run, stop); });
}

void UpdateChecker::checkOnWorker(bool userInitiated, std::uint64_t run, std::stop_token stop) {
    // Read on the main thread's behalf: UserDefaults is safe from any thread.
    const std::string skipped =
        userInitiated ? std::string() : defaults_.string(kSkippedVersionKey).value_or("");
    try {
        const Appcast feed = Appcast::parse(downloader_.fetchFeed(configuration_.feedURL, stop));
        auto item =
            feed.bestItem(configuration_.installation.platform(), configuration_.runningVersion, skipped);
        postIfCurrent(run, [item = std::move(item), userInitiated](UpdateChecker& self) {
            State s;
            if (item) {
                s.phase = Phase::available;
                s.item = item;
                s.canInstall = self.configuration_.installation.kind != UpdateInstallation::Kind::unmanaged;
            } else if (userInitiated) {
                s.phase = Phase::upToDate;
                s.upToDateVersion = self.configuration_.runningShortVersion;
            }
            self.setState(std::move(s));
        });
    } catch (const CancelledError&) {
        // Stopped by a cancel, a newer check or the checker's end: whoever stopped it set the state.
    } catch (...) {
        const std::string message = describe(std::current_exception());
        postIfCurrent(run, [message, userInitiated](UpdateChecker& self) {
            if (userInitiated)
                self.fail(message);
            else
                self.setState({});
        });
    }
}

void UpdateChecker::installUpdate() {
    if (state_.phase != Phase::available || !state_.item) return;
    if (!state_.canInstall) {
        fail("This copy of Velvetharbor was not installed from a package, so it cannot update itself.");
        return;
    }
    const std::uint64_t run = ++run_;
    State s;
    s.phase = Phase::downloading;
    s.item = state_.item;
    s.expected = state_.item->enclosure.length;
    setState(s);
    startWorker([this, item = *s.item, run](std::stop_token stop) { installOnWorker(item, run, stop); });
}

fs::path UpdateChecker::downloadPath(const AppcastItem& item) const {
    std::string name = fileNameFromURL(item.enclosure.url);
    if (name.empty())
        name = configuration_.installation.kind == UpdateInstallation::Kind::debian
                   ? "velvetharbor-update.deb"
                   : "velvetharbor-update.tar.gz";
    return configuration_.downloadDirectory / name;
}

void UpdateChecker::installOnWorker(AppcastItem item, std::uint64_t run, std::stop_token stop) {
    const auto phase = [this, run](Phase p) {
        postIfCurrent(run, [p](UpdateChecker& self) {
            State s;
            s.phase = p;
            s.item = self.state_.item;
            self.setState(std::move(s));
        });
    };
    const fs::path file = downloadPath(item);
    try {
        createPrivateDirectories(configuration_.downloadDirectory);
        removeEarlierDownloads();
        auto last = std::make_shared<std::chrono::steady_clock::time_point>();
        downloader_.download(
            item.enclosure, file,
            [this, run, last](std::uint64_t received, std::uint64_t expected) {
                const auto now = std::chrono::steady_clock::now();
                if (received < expected && now - *last < configuration_.progressInterval) return;
                *last = now;
                postIfCurrent(run, [received, expected](UpdateChecker& self) {
                    if (self.state_.phase != Phase::downloading) return;
                    State s = self.state_;
                    s.received = received;
                    s.expected = expected;
                    self.setState(std::move(s));
                });
            },
            stop);
        phase(Phase::verifying);
        UpdateVerifier::verify(file, item.enclosure.length, item.enclosure.edSignature,
                               configuration_.publicKey);
        if (configuration_.installation.kind == UpdateInstallation::Kind::debian) {
            postIfCurrent(run, [file](UpdateChecker& self) {
                State s;
                s.phase = Phase::readyToOpen;
                s.item = self.state_.item;
                s.package = file;
                self.setState(std::move(s));
            });
            return;
        }
        phase(Phase::installing);
        TarballInstaller(configuration_.installation.root).install(file, item.version);
        std::error_code ignored;
        fs::remove(file, ignored);
        const fs::path relaunch =
            configuration_.installation.root / "current" / configuration_.installation.executable;
        postIfCurrent(run, [relaunch](UpdateChecker& self) {
            State s;
            s.phase = Phase::installed;
            s.item = self.state_.item;
            s.relaunchProgram = relaunch;
            self.setState(std::move(s));
        });
    } catch (const CancelledError&) {
        std::error_code ignored;
        fs::remove(file, ignored);
    } catch (...) {
        const std::string message = describe(std::current_exception());
        std::error_code ignored;
        fs::remove(file, ignored);
        postIfCurrent(run, [message](UpdateChecker& self) { self.fail(message); });
    }
}

void UpdateChecker::removeEarlierDownloads() const {
    // A package handed to the software installer stays until the next update starts.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(configuration_.downloadDirectory, ec)) {
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
    }
}

void UpdateChecker::skipThisVersion() {
    if (state_.phase != Phase::available || !state_.item) return;
    defaults_.set(kSkippedVersionKey, state_.item->version);
    setState({});
}

void UpdateChecker::remindMeLater() {
    switch (state_.phase) {
        case Phase::available:
        case Phase::upToDate:
        case Phase::failed:
        case Phase::installed:
        case Phase::readyToOpen:
            setState({});
            break;
        default:
            break;
    }
}

void UpdateChecker::cancel() {
    if (state_.phase != Phase::checking && state_.phase != Phase::downloading) return;
    ++run_;
    stopWorker();  // the download's transfer ends at once and its file is removed
    setState({});
}

}  // namespace vhbr
