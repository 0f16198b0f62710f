#include "DownloadController.hpp"

#include <algorithm>

#include "FileReveal.hpp"
#include "GioBrowserOpener.hpp"
#include "I18n.hpp"
#include "MessageQuestion.hpp"

namespace vhbr::gtk {

namespace {

std::filesystem::path downloadsFolder() {
    const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    std::optional<std::filesystem::path> configured;
    if (folder && *folder) configured = folder;
    return ShellDownload::saveStartFolder(configured, g_get_home_dir());
}

}  // namespace

// WebKit's signals; none lets an exception through into WebKit.
struct DownloadController::Callbacks {
    static gboolean decideDestination(WebKitDownload*, gchar* suggested, gpointer data) {
        auto* self = static_cast<DownloadController*>(data);
        guarded([&] { self->shell_.decideDestination(suggested ? suggested : ""); });
        return TRUE;  // answered later, from the save dialog
    }

    static void failed(WebKitDownload*, GError* error, gpointer data) {
        auto* self = static_cast<DownloadController*>(data);
        self->failed_ = true;
        const bool cancelled =
            g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER);
        guarded([&] { self->shell_.transferFailed(cancelled, describeFailure(error)); });
    }

    static void finished(WebKitDownload*, gpointer data) {
        auto* self = static_cast<DownloadController*>(data);
        if (!self->failed_) guarded([&] { self->shell_.transferFinished(); });
    }

    template <typename Fn>
    static void guarded(Fn fn) {
        try {
            fn();
        } catch (const std::exception& e) {
            g_warning("download handling failed: %s", e.what());
        }
    }
};

DownloadController::DownloadController(WebKitDownload* download, Gtk::Window& parent,
                                       std::function<void()> onEnd)
    : download_(WEBKIT_DOWNLOAD(g_object_ref(download))),
      parent_(parent),
      onEnd_(std::move(onEnd)),
      shell_(
          *this, *this,
          [this] {
              if (!tearingDown_ && onEnd_) onEnd_();
          },
          downloadsFolder()) {
    g_signal_connect(download_, "decide-destination", G_CALLBACK(Callbacks::decideDestination), this);
    g_signal_connect(download_, "failed", G_CALLBACK(Callbacks::failed), this);
    g_signal_connect(download_, "finished", G_CALLBACK(Callbacks::finished), this);
}

DownloadController::~DownloadController() {
    tearingDown_ = true;
    // As the cancel button does; WebKit's confirmation will not reach this object any more, so
    // the download ends here, which removes its staged data.
    shell_.cancelDownload();
    g_signal_handlers_disconnect_by_data(download_, this);
    shell_.transferFailed(true, "");
    timer_.disconnect();
    if (chooser_) chooser_->hide();
    g_object_unref(download_);
}

void DownloadController::setDestination(const std::optional<std::filesystem::path>& file) {
    if (!file) {
        webkit_download_cancel(download_);
        return;
    }
    webkit_download_set_destination(download_, Glib::filename_to_uri(file->string()).c_str());
}

void DownloadController::cancel() { webkit_download_cancel(download_); }

DownloadProgress DownloadController::progress() const {
    auto* response = webkit_download_get_response(download_);
    const auto total =
        response ? static_cast<std::int64_t>(webkit_uri_response_get_content_length(response)) : 0;
    if (total < 1) return {0, webkit_download_get_estimated_progress(download_)};
    const auto received = static_cast<double>(webkit_download_get_received_data_length(download_));
    return {total, std::min(1.0, received / static_cast<double>(total))};
}

void DownloadController::askDestination(const SaveQuestion& question) {
    chooser_ = Gtk::FileChooserNative::create(question.title, parent_, Gtk::FILE_CHOOSER_ACTION_SAVE,
                                              _("_Save"), _("_Cancel"));
    chooser_->set_current_name(question.suggestedName);
    if (question.startFolder) chooser_->set_current_folder(question.startFolder->string());
    chooser_->set_create_folders(true);
    chooser_->set_do_overwrite_confirmation(true);
    chooser_->set_modal(true);
    chooser_->signal_response().connect([this](int response) {
        std::optional<std::filesystem::path> chosen;
        if (response == Gtk::RESPONSE_ACCEPT) {
            if (const auto file = chooser_->get_file(); file && !file->get_path().empty())
                chosen = file->get_path();
        }
        Callbacks::guarded([&] { shell_.destinationChosen(chosen); });
    });
    chooser_->show();
}

void DownloadController::cancelDestinationQuestion() {
    if (!chooser_ || !chooser_->get_visible()) return;
    // A hidden dialog sends no response: answer for it.
    chooser_->hide();
    shell_.destinationChosen(std::nullopt);
}

void DownloadController::showProgress(const ProgressPanel& panel) {
    progressWindow_ = std::make_unique<DownloadProgressWindow>(
        parent_, panel, [this] { Callbacks::guarded([&] { shell_.cancelDownload(); }); });
    progressWindow_->present();
    timer_ = Glib::signal_timeout().connect(
        [this] {
            Callbacks::guarded([&] { shell_.refreshProgress(); });
            return true;
        },
        250);
}

void DownloadController::updateProgress(const ProgressDisplay& display) {
    if (progressWindow_) progressWindow_->update(display);
}

void DownloadController::closeProgress() {
    timer_.disconnect();
    if (!progressWindow_) return;
    progressWindow_->hide();
    if (tearingDown_) {
        progressWindow_.reset();
        return;
    }
    // The window's own button may be what ended the download: delete it once that is over.
    Glib::signal_idle().connect_once([window = progressWindow_.release()] { delete window; });
}

void DownloadController::showAlert(const DownloadAlert& alert) {
    const auto type = alert.revealOnFirstButton ? Gtk::MESSAGE_INFO : Gtk::MESSAGE_ERROR;
    // The answer may come after this object is gone: it holds only what it needs.
    MessageQuestion::ask(&parent_, type, alert.message, alert.informativeText, alert.buttons,
                         [file = alert.revealOnFirstButton](int chosen) {
                             if (chosen == 0 && file) revealInFiles(*file);
                         });
}

std::string DownloadController::describeFailure(const GError* error) {
    const std::string detail = error && error->message ? error->message : "";
    if (g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_DESTINATION)) {
        // WebKit passes on the file system's message only as text.
        if (detail.find("No space left") != std::string::npos) return _("The disk is full.");
        if (detail.find("ermission denied") != std::string::npos)
            return _("The folder cannot be written to.");
        return _("The file could not be written: ") + detail;
    }
    return _("The connection to the server was lost before the whole file arrived.");
}

}  // namespace vhbr::gtk
