#include "MainWindow.hpp"

#include "AppLifecycle.hpp"
#include "I18n.hpp"
#include "MessageQuestion.hpp"
#include "ShellWebPolicy.hpp"
#include "Support/BundleInfo.hpp"

namespace vhbr::gtk {

namespace {

// The overlay texts that are translated here; the sign-in messages and button labels, and all
// messages from the models, are shown as they come.
[[maybe_unused]] constexpr const char* kTranslatedOverlayTexts[] = {
    N_("Sign in to Velvetharbor"), N_("Velvetharbor could not load"), N_("Retry")};

std::string translated(const std::string& text) { return _(text.c_str()); }

}  // namespace

MainWindow::MainWindow(MainExecutor& main, AppModel& model, const Glib::RefPtr<Gio::MenuModel>& menu,
                       std::function<void()> menuOpening)
    : model_(model),
      overlayView_(
          [this] {
              if (!shown_) return;
              if (shown_->action == ShellOverlay::Action::startLogin)
                  model_.startLogin();
              else
                  model_.loadHome();
          },
          [this] { model_.cancelLogin(); }) {
    set_title(AppLifecycle::kMainWindowTitle);
    set_default_size(1100, 760);
    set_size_request(900, 640);

    header_.set_show_close_button(true);
    header_.set_title(AppLifecycle::kMainWindowTitle);
    menuButton_.set_menu_model(menu);
    // A classic menu rather than a popover: only that shows each item's shortcut beside it.
    menuButton_.set_use_popover(false);
    menuButton_.signal_toggled().connect([this, menuOpening = std::move(menuOpening)] {
        if (menuButton_.get_active() && menuOpening) menuOpening();
    });
    menuButton_.set_image_from_icon_name("open-menu-symbolic", Gtk::ICON_SIZE_BUTTON);
    menuButton_.set_tooltip_text(_("Main Menu"));
    menuButton_.get_accessible()->set_name(_("Main Menu"));
    header_.pack_end(menuButton_);
    set_titlebar(header_);

    webView_ = std::make_unique<WebKitShellView>(
        main, *this, ShellWebPolicy::userAgentApplicationName(BundleInfo::main()), webHooks());
    overlay_.add(webView_->widget());
    overlay_.add_overlay(overlayView_);
    add(overlay_);
    show_all_children();
    overlayView_.hide();
    // Made after show_all_children: it shows itself only while there are uploads to list.
    uploadsButton_ = std::make_unique<UploadsButton>(*this, model_);
    header_.pack_end(uploadsButton_->widget());
    // Files dropped on the window go the way of files opened with the app.
    dropZone_ = std::make_unique<DropZone>(overlay_, webView_->widget(), [this](const auto& files) {
        model_.uploadManager().enqueueFiles(files);
    });

    addWindowActions();
    connections_.push_back(model_.authStateChanged.connect([this] {
        // The first report is when the web app is ready for use (bench/desktop times it).
        const auto kind = model_.authState().kind;
        if (kind != ShellAuthState::Kind::unknown)
            g_info("The web app reports it is signed %s",
                   kind == ShellAuthState::Kind::signedIn ? "in" : "out");
        showOverlay();
    }));
    connections_.push_back(model_.loginStatusChanged.connect([this] { showOverlay(); }));
    connections_.push_back(model_.shellErrorChanged.connect([this] { showOverlay(); }));
    auto& uploads = model_.uploadManager();
    connections_.push_back(uploads.pendingDraftChanged.connect([this] { showPendingDraft(); }));
    connections_.push_back(uploads.uploadAlertChanged.connect([this] { showUploadAlert(); }));

    // The app quits without destroying its windows: running downloads end before it goes.
    if (const auto app = Gio::Application::get_default())
        connections_.push_back(app->signal_shutdown().connect([this] { downloads_.clear(); }));

    model_.setWebShell(webView_.get());
    showOverlay();
    showPendingDraft();
    showUploadAlert();
}

MainWindow::~MainWindow() {
    // Running downloads are cancelled and their staged data removed while the web view exists.
    downloads_.clear();
    for (auto& c : connections_) c.disconnect();
    model_.setWebShell(nullptr);
}

WebKitShellView::Hooks MainWindow::webHooks() {
    WebKitShellView::Hooks hooks;
    hooks.scriptMessage = [this](const nlohmann::json& body, const ScriptMessageSource& source) {
        model_.bridge().handleMessage(body, source);
    };
    hooks.loadFinished = [this] { model_.recordNavigationFinished(); };
    hooks.loadFailed = [this](const NavigationFailure& failure) { model_.recordNavigationFailure(failure); };
    hooks.downloadStarted = [this](WebKitDownload* download) {
        const unsigned id = nextDownload_++;
        // Dropped from the loop: the end action runs inside the controller's own calls.
        downloads_[id] = std::make_unique<DownloadController>(download, *this, [this, id] {
            Glib::signal_idle().connect_once(
                sigc::bind(sigc::mem_fun(*this, &MainWindow::forgetDownload), id));
        });
    };
    return hooks;
}

void MainWindow::addWindowActions() {
    add_action("reload", [this] { model_.reload(); });
    add_action("zoom-in", [this] { webView_->zoomIn(); });
    add_action("zoom-out", [this] { webView_->zoomOut(); });
    add_action("zoom-reset", [this] { webView_->zoomReset(); });
}

void MainWindow::showOverlay() {
    shown_ = ShellOverlay::forState(model_.authState(), model_.loginStatus(), model_.shellError());
    if (!shown_) {
        overlayView_.hide();
        unset_default();
        // The page reporting while the Uploads list is open must not close it under the pointer.
        if (!uploadsButton_ || !uploadsButton_->isOpen()) webView_->widget().grab_focus();
        return;
    }
    const bool retry = shown_->action == ShellOverlay::Action::loadHome;
    overlayView_.show({translated(shown_->title), shown_->message,
                       retry ? translated(shown_->buttonLabel) : shown_->buttonLabel, shown_->buttonEnabled,
                       shown_->showsSpinner, shown_->link, shown_->showsCancel});
    overlayView_.takeDefault(*this);
}

void MainWindow::showPendingDraft() {
    auto& uploads = model_.uploadManager();
    const auto& draft = uploads.pendingDraft();
    if (confirm_ && (!draft || draft->id != confirm_->draftId())) {
        confirm_->dismiss();
        confirm_.reset();
    }
    const auto [index, count] = uploads.pendingDraftPosition();
    if (confirm_) confirm_->setPosition(index, count);
    if (!draft || confirm_) return;
    confirm_ = std::make_unique<UploadConfirmDialog>(
        *this, *draft,
        [this](const UploadDraft& edited) {
            // The dialog is inside its response signal: it goes away from the loop, not here.
            Glib::signal_idle().connect_once([this, edited] {
                confirm_.reset();
                model_.uploadManager().start(edited);
            });
        },
        [this] {
            Glib::signal_idle().connect_once([this] {
                confirm_.reset();
                model_.uploadManager().setPendingDraft(std::nullopt);
            });
        });
    confirm_->setPosition(index, count);
    present();
    confirm_->present();
}

void MainWindow::showUploadAlert() {
    const auto& alert = model_.uploadManager().uploadAlert();
    if (!alert || !shownAlertId_.empty()) return;
    shownAlertId_ = alert->id;
    MessageQuestion::ask(this, Gtk::MESSAGE_WARNING, alert->title, alert->message, {_("OK")}, [this](int) {
        auto& uploads = model_.uploadManager();
        // A newer alert that arrived meanwhile is shown next, not dismissed with this one.
        if (uploads.uploadAlert() && uploads.uploadAlert()->id == shownAlertId_)
            uploads.setUploadAlert(std::nullopt);
        shownAlertId_.clear();
        showUploadAlert();
    });
}

void MainWindow::on_show() {
    Gtk::ApplicationWindow::on_show();
    // Shown again after a close: the keyboard goes back to the overlay's button or the page.
    showOverlay();
}

void MainWindow::forgetDownload(unsigned id) { downloads_.erase(id); }

bool MainWindow::on_delete_event(GdkEventAny*) {
    // Closing the window leaves the app running (uploads go on); "Open Velvetharbor" brings it back.
    hide();
    return true;
}

}  // namespace vhbr::gtk
