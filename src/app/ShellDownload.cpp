#include "ShellDownload.hpp"

#include <exception>

#include "Support/Percent.hpp"

namespace vhbr {

namespace {

// The last path component of a suggested name ("a/b.txt" → "b.txt").
std::string lastPathComponent(std::string name) {
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const auto slash = name.find_last_of('/');
    return slash == std::string::npos || name.size() == 1 ? name : name.substr(slash + 1);
}

}  // namespace

ShellDownload::ShellDownload(DownloadTransfer& transfer, DownloadUI& ui, std::function<void()> onEnd,
                             std::optional<std::filesystem::path> downloadsFolder)
    : transfer_(transfer), ui_(ui), onEnd_(std::move(onEnd)), downloadsFolder_(std::move(downloadsFolder)) {}

void ShellDownload::decideDestination(const std::string& suggestedFilename) {
    if (phase_ != Phase::starting) return;
    if (cancelling_) {
        transfer_.setDestination(std::nullopt);
        return;
    }
    phase_ = Phase::awaitingDestination;
    ui_.askDestination({"Save Download", lastPathComponent(suggestedFilename), downloadsFolder_});
}

void ShellDownload::destinationChosen(const std::optional<std::filesystem::path>& destination) {
    if (phase_ != Phase::awaitingDestination) return;
    // Refusing a destination stops the web view's download, which may report that at once.
    const auto alive = alive_;
    if (!destination || cancelling_) {
        transfer_.setDestination(std::nullopt);
        if (*alive) end();
        return;
    }
    try {
        file_.emplace(*destination);
    } catch (const std::exception& e) {
        const std::string description = e.what();
        transfer_.setDestination(std::nullopt);
        if (*alive) fail(description);
        return;
    }
    phase_ = Phase::transferring;
    ui_.showProgress({"Downloading " + destination->filename().string(), "Saving to " + destination->string(),
                      "Cancel Download"});
    transfer_.setDestination(file_->stagedFile());
}

void ShellDownload::transferFinished() {
    if (phase_ == Phase::ended || cancelling_ || !file_) return;
    try {
        file_->finish();
    } catch (const std::exception& e) {
        fail(e.what());
        return;
    }
    ui_.closeProgress();
    ui_.showAlert(savedAlert(file_->destination()));
    end();
}

void ShellDownload::transferFailed(bool cancelled, const std::string& description) {
    if (phase_ == Phase::ended) return;
    if (cancelling_ || cancelled) {
        end();
        return;
    }
    fail(description);
}

void ShellDownload::cancelDownload() {
    if (phase_ == Phase::ended || cancelling_) return;
    cancelling_ = true;
    const auto alive = alive_;
    // A save dialog closed this way answers "no destination", which ends the download.
    if (phase_ == Phase::awaitingDestination) ui_.cancelDestinationQuestion();
    if (!*alive || phase_ == Phase::ended) return;
    // The web view confirms with a cancelled failure, which ends the download.
    transfer_.cancel();
}

void ShellDownload::refreshProgress() {
    if (phase_ != Phase::transferring) return;
    ui_.updateProgress(progressDisplay(transfer_.progress()));
}

ProgressDisplay ShellDownload::progressDisplay(const DownloadProgress& progress) {
    if (progress.totalUnitCount < 1) return {true, progress.fractionCompleted, "Downloading…"};
    return {false, progress.fractionCompleted,
            std::to_string(wholePercent(progress.fractionCompleted)) + "% downloaded"};
}

DownloadAlert ShellDownload::failureAlert(const std::string& description) {
    return {"Download could not be saved", description, {"OK"}, std::nullopt};
}

DownloadAlert ShellDownload::savedAlert(const std::filesystem::path& destination) {
    return {"Download saved", destination.string(), {"Show in Files", "Done"}, destination};
}

void ShellDownload::fail(const std::string& description) {
    ui_.closeProgress();
    ui_.showAlert(failureAlert(description));
    end();
}

void ShellDownload::end() {
    if (phase_ == Phase::ended) return;
    phase_ = Phase::ended;
    ui_.closeProgress();
    if (file_) file_->cleanup();
    // Last step: the owner may destroy this object inside onEnd.
    auto onEnd = std::move(onEnd_);
    onEnd_ = nullptr;
    if (onEnd) onEnd();
}

std::filesystem::path ShellDownload::saveStartFolder(const std::optional<std::filesystem::path>& xdgDownloads,
                                                     const std::filesystem::path& home) {
    std::error_code error;
    if (xdgDownloads && std::filesystem::is_directory(*xdgDownloads, error)) return *xdgDownloads;
    if (std::filesystem::is_directory(home / "Downloads", error)) return home / "Downloads";
    return home;
}

}  // namespace vhbr
