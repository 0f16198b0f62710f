#pragma once
// Drives one download of the web view from start to end: asks where to save, shows a progress
// panel with a cancel button, finishes into the destination or cleans up, reports the outcome in
// an alert and tells its owner when it is over. The web view's download and the dialogs are
// interfaces, so the whole state machine runs without a display.
//
// Phases: starting → awaiting destination (save dialog open) → transferring (progress panel
// open, file staged) → ended. A cancellation may come in any phase before ended. Once ended,
// every call does nothing: late callbacks of the web view are ignored, and onEnd runs exactly once.
//
// Threads: main thread only, for every member and for both interfaces.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DownloadFile.hpp"

namespace vhbr {

// What the web view knows of a download's size.
struct DownloadProgress {
    std::int64_t totalUnitCount = 0;  // below 1: unknown
    double fractionCompleted = 0.0;
};

// How the progress panel shows it.
struct ProgressDisplay {
    bool indeterminate = true;
    double fraction = 0.0;
    std::string text;  // "Downloading…" or "37% downloaded"

    bool operator==(const ProgressDisplay&) const = default;
};

// The free-standing save dialog.
struct SaveQuestion {
    std::string title;                                 // "Save Download"
    std::string suggestedName;                         // proposedFileName() of the suggestion
    std::optional<std::filesystem::path> startFolder;  // see saveStartFolder()
};

// The small window shown while the file is transferred.
struct ProgressPanel {
    std::string title;        // "Downloading " + destination file name
    std::string savingTo;     // "Saving to " + destination path (up to three lines)
    std::string cancelLabel;  // "Cancel Download"
};

// A non-blocking message dialog. When revealOnFirstButton is set and the user chooses the first
// button, the front end shows that file in the file manager.
struct DownloadAlert {
    std::string message;
    std::string informativeText;
    std::vector<std::string> buttons;
    std::optional<std::filesystem::path> revealOnFirstButton;

    bool operator==(const DownloadAlert&) const = default;
};

// The web view's download.
class DownloadTransfer {
public:
    virtual ~DownloadTransfer() = default;
    // The answer to decideDestination(): the file to write, or none to stop the download.
    virtual void setDestination(const std::optional<std::filesystem::path>& file) = 0;
    // Stops the transfer; the web view then reports transferFailed() (as cancelled).
    virtual void cancel() = 0;
    virtual DownloadProgress progress() const = 0;
};

// The dialogs of one download.
class DownloadUI {
public:
    virtual ~DownloadUI() = default;
    // Opens the save dialog; its answer comes back through ShellDownload::destinationChosen().
    virtual void askDestination(const SaveQuestion& question) = 0;
    // Closes an open save dialog, which then answers with no destination (now or later).
    virtual void cancelDestinationQuestion() = 0;
    // Opens the progress panel and starts a 0.25 s timer that calls ShellDownload::refreshProgress().
    virtual void showProgress(const ProgressPanel& panel) = 0;
    virtual void updateProgress(const ProgressDisplay& display) = 0;
    // Stops the timer and closes the panel; harmless when neither exists.
    virtual void closeProgress() = 0;
    virtual void showAlert(const DownloadAlert& alert) = 0;
};

class ShellDownload {
public:
    enum class Phase { starting, awaitingDestination, transferring, ended };

    // onEnd runs once, as the very last step of the call that ends the download; it may destroy
    // this object (the owner drops it there), so nothing touches the object after it.
    ShellDownload(DownloadTransfer& transfer, DownloadUI& ui, std::function<void()> onEnd,
                  std::optional<std::filesystem::path> downloadsFolder);
    ~ShellDownload() { *alive_ = false; }
    ShellDownload(const ShellDownload&) = delete;
    ShellDownload& operator=(const ShellDownload&) = delete;

    // The web view asks where to save; the response itself is not consulted.
    void decideDestination(const std::string& suggestedFilename);
    // The save dialog closed with a choice, or without one.
    void destinationChosen(const std::optional<std::filesystem::path>& destination);
    // The web view wrote the whole file.
    void transferFinished();
    // The web view's transfer failed; cancelled for a stop (the user's or the platform's).
    void transferFailed(bool cancelled, const std::string& description);
    // The progress panel's "Cancel Download" button, and the window going away.
    void cancelDownload();
    // The progress panel's timer.
    void refreshProgress();

    Phase phase() const { return phase_; }
    bool isCancelling() const { return cancelling_; }
    const std::optional<DownloadFile>& file() const { return file_; }

    // The name the save dialog proposes for a suggested one (a server's header or a page's
    // attribute, so anything): its last path component as one plain file name, valid UTF-8
    // without control or direction marks, not hidden, at most 255 bytes; "download" when nothing
    // is left.
    static std::string proposedFileName(std::string_view suggestion);
    static ProgressDisplay progressDisplay(const DownloadProgress& progress);
    static DownloadAlert failureAlert(const std::string& description);
    static DownloadAlert savedAlert(const std::filesystem::path& destination);
    // Where the save dialog starts: the user's XDG Downloads folder, else ~/Downloads, else the
    // home folder; never the program's working directory (a source tree, say). A configured
    // folder that does not exist counts as none.
    static std::filesystem::path saveStartFolder(const std::optional<std::filesystem::path>& xdgDownloads,
                                                 const std::filesystem::path& home);

private:
    void fail(const std::string& description);
    void end();

    DownloadTransfer& transfer_;
    DownloadUI& ui_;
    std::function<void()> onEnd_;
    std::optional<std::filesystem::path> downloadsFolder_;
    std::optional<DownloadFile> file_;
    Phase phase_ = Phase::starting;
    bool cancelling_ = false;
    // Cleared by the destructor: a call into the front end may end the download, and onEnd may
    // destroy this object, so calls that go on afterwards check it first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vhbr
