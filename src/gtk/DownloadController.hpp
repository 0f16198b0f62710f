#pragma once
// Carries one WebKit download through the app layer's ShellDownload: WebKit's signals go in, and
// the save dialog, the progress window, the alerts and WebKit's destination come out. It decides
// nothing itself. The main window keeps one per download until its end action runs; destroying
// it earlier (the window or the app going away) cancels the download and removes its staged data.
//
// Threads: main thread only (WebKit and GTK signals, the 0.25 s progress timer).

#include <gtkmm.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>

#include "DownloadProgressWindow.hpp"
#include "ShellDownload.hpp"

namespace vhbr::gtk {

class DownloadController final : public DownloadTransfer, public DownloadUI {
public:
    // onEnd runs once when the download is over; it must not destroy this object inline.
    DownloadController(WebKitDownload* download, Gtk::Window& parent, std::function<void()> onEnd);
    ~DownloadController() override;
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    // DownloadTransfer.
    void setDestination(const std::optional<std::filesystem::path>& file) override;
    void cancel() override;
    DownloadProgress progress() const override;

    // DownloadUI.
    void askDestination(const SaveQuestion& question) override;
    void cancelDestinationQuestion() override;
    void showProgress(const ProgressPanel& panel) override;
    void updateProgress(const ProgressDisplay& display) override;
    void closeProgress() override;
    void showAlert(const DownloadAlert& alert) override;

    // What the failure alert says of WebKit's error: disk full, not writable, connection lost.
    static std::string describeFailure(const GError* error);

private:
    struct Callbacks;

    WebKitDownload* download_;
    Gtk::Window& parent_;
    std::function<void()> onEnd_;
    Glib::RefPtr<Gtk::FileChooserNative> chooser_;
    std::unique_ptr<DownloadProgressWindow> progressWindow_;
    sigc::connection timer_;
    bool failed_ = false;       // WebKit reports "finished" after "failed" too
    bool tearingDown_ = false;  // the owner is destroying this object: nothing is handed back
    ShellDownload shell_;
};

}  // namespace vhbr::gtk
