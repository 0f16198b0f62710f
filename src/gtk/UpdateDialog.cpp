#include "UpdateDialog.hpp"

#include <gdk/gdkkeysyms.h>

#include "AppIcon.hpp"
#include "I18n.hpp"

namespace vhbr::gtk {

namespace {

using Phase = UpdateChecker::Phase;
using Action = UpdatePrompt::Action;

// The app's own icon when the theme has it (an installed copy), else the desktop's update icon.
const char* iconName() {
    return Gtk::IconTheme::get_default()->has_icon(AppIcon::kName) ? AppIcon::kName
                                                                   : "system-software-update";
}

void wrapping(Gtk::Label& label) {
    label.set_line_wrap(true);
    label.set_line_wrap_mode(Pango::WRAP_WORD_CHAR);
    label.set_max_width_chars(60);
    label.set_xalign(0);
}

}  // namespace

UpdateDialog::UpdateDialog(UpdateChecker& checker, std::function<Gtk::Window*()> parent,
                           std::function<void(const std::filesystem::path&)> relaunch)
    : checker_(checker), parent_(std::move(parent)), relaunch_(std::move(relaunch)) {
    set_title(_("Software Update"));
    // A title bar of its own, as the main window has; its close button only while closing is allowed.
    header_.set_title(_("Software Update"));
    set_titlebar(header_);
    set_type_hint(Gdk::WINDOW_TYPE_HINT_DIALOG);
    set_default_size(540, -1);
    set_resizable(false);

    icon_.set_from_icon_name(iconName(), Gtk::ICON_SIZE_DIALOG);
    icon_.set_pixel_size(64);
    icon_.set_valign(Gtk::ALIGN_START);
    title_.get_style_context()->add_class("vhbr-headline");
    wrapping(title_);
    wrapping(message_);
    // The notes are plain text (never markup, never a page): selectable to copy, nothing to follow.
    wrapping(notes_);
    notes_.set_use_markup(false);
    notes_.set_selectable(true);
    notes_.set_yalign(0);
    notes_.set_margin_start(8);
    notes_.set_margin_end(8);
    notes_.set_margin_top(6);
    notes_.set_margin_bottom(6);
    notesScroll_.set_policy(Gtk::POLICY_NEVER, Gtk::POLICY_AUTOMATIC);
    notesScroll_.set_shadow_type(Gtk::SHADOW_IN);
    notesScroll_.set_min_content_height(160);
    notesScroll_.add(notes_);
    progress_.set_show_text(true);
    busyRow_.pack_start(spinner_, Gtk::PACK_SHRINK);
    buttons_.set_layout(Gtk::BUTTONBOX_END);
    buttons_.set_spacing(6);
    buttons_.set_margin_top(6);

    column_.pack_start(title_, Gtk::PACK_SHRINK);
    column_.pack_start(message_, Gtk::PACK_SHRINK);
    column_.pack_start(notesScroll_, Gtk::PACK_EXPAND_WIDGET);
    column_.pack_start(busyRow_, Gtk::PACK_SHRINK);
    column_.pack_start(progress_, Gtk::PACK_SHRINK);
    column_.pack_start(buttons_, Gtk::PACK_SHRINK);
    outer_.set_border_width(18);
    outer_.pack_start(icon_, Gtk::PACK_SHRINK);
    outer_.pack_start(column_, Gtk::PACK_EXPAND_WIDGET);
    add(outer_);
    show_all_children();

    changed_ = checker_.signalChanged.connect([this] { redraw(); });
    redraw();
}

UpdateDialog::~UpdateDialog() { changed_.disconnect(); }

void UpdateDialog::redraw() {
    const auto& state = checker_.state();
    const bool phaseChanged = drawnPhase_ != state.phase;
    drawnPhase_ = state.phase;
    prompt_ = UpdatePrompt::forState(state, checker_.configuration().runningShortVersion);
    if (!prompt_) {
        hide();
        return;
    }
    // The user asked to install: the package goes to the software installer once it is verified.
    if (phaseChanged && state.phase == Phase::readyToOpen) openPackage(state.package);
    if (phaseChanged && state.phase != Phase::readyToOpen) packageError_.clear();

    title_.set_text(prompt_->title);
    const std::string& message = packageError_.empty() ? prompt_->message : packageError_;
    message_.set_text(message);
    message_.set_visible(!message.empty());
    notes_.set_text(prompt_->notes);
    notesScroll_.set_visible(!prompt_->notes.empty());
    busyRow_.set_visible(prompt_->showsSpinner);
    spinner_.property_active() = prompt_->showsSpinner;
    progress_.set_visible(prompt_->progress.has_value());
    if (prompt_->progress) {
        progress_.set_fraction(*prompt_->progress);
        progress_.set_text(prompt_->progressText);
    }
    // Only a new phase changes the buttons: progress redraws keep focus where the user put it.
    if (phaseChanged) rebuildButtons(*prompt_);
    set_deletable(prompt_->closeAction.has_value());
    header_.set_show_close_button(prompt_->closeAction.has_value());

    if (!get_visible()) {
        Gtk::Window* parent = parent_ ? parent_() : nullptr;
        if (parent && parent->get_visible()) {
            set_transient_for(*parent);
            set_position(Gtk::WIN_POS_CENTER_ON_PARENT);
        } else {
            unset_transient_for();
            set_position(Gtk::WIN_POS_CENTER);
        }
    }
    present();
}

void UpdateDialog::rebuildButtons(const UpdatePrompt& prompt) {
    for (auto& button : buttonWidgets_) buttons_.remove(*button);
    buttonWidgets_.clear();
    // The most important button is the default and sits at the trailing end; "Skip This Version"
    // stands apart at the leading end.
    Gtk::Button* first = nullptr;
    for (auto it = prompt.buttons.rbegin(); it != prompt.buttons.rend(); ++it) {
        auto* button = buttonWidgets_.emplace_back(std::make_unique<Gtk::Button>(it->label)).get();
        // After the click's handlers: the action may change the phase, which replaces the buttons.
        button->signal_clicked().connect([this, action = it->action] {
            Glib::signal_idle().connect_once(sigc::bind(sigc::mem_fun(*this, &UpdateDialog::act), action));
        });
        buttons_.pack_start(*button, Gtk::PACK_SHRINK);
        if (it->action == Action::skip) buttons_.set_child_secondary(*button, true);
        first = button;
    }
    buttons_.show_all();
    if (first) {
        first->set_can_default(true);
        first->get_style_context()->add_class("suggested-action");
        set_default(*first);
        first->grab_focus();
    }
}

void UpdateDialog::act(Action action) {
    switch (action) {
        case Action::install:
            checker_.installUpdate();
            break;
        case Action::skip:
            checker_.skipThisVersion();
            break;
        case Action::later:
            checker_.remindMeLater();
            break;
        case Action::cancel:
            checker_.cancel();
            break;
        case Action::relaunch:
            // Copied: the quit may destroy this dialog and the checker.
            if (relaunch_) relaunch_(std::filesystem::path(checker_.state().relaunchProgram));
            break;
        case Action::openPackage:
            openPackage(checker_.state().package);
            redraw();
            break;
    }
}

bool UpdateDialog::openPackage(const std::filesystem::path& package) {
    packageError_.clear();
    GAppInfo* app = g_app_info_get_default_for_type(UpdateChecker::kDebianPackageType, FALSE);
    if (!app) {
        packageError_ =
            "No software installer is set up to open Debian packages. The verified package is "
            "saved as " +
            package.string() + "; install it with your package manager.";
        return false;
    }
    GFile* file = g_file_new_for_path(package.c_str());
    GList* files = g_list_append(nullptr, file);
    GdkAppLaunchContext* context = gdk_display_get_app_launch_context(gdk_display_get_default());
    GError* error = nullptr;
    const bool launched = g_app_info_launch(app, files, G_APP_LAUNCH_CONTEXT(context), &error);
    if (!launched) {
        packageError_ = std::string("The software installer could not be started: ") +
                        (error ? error->message : "unknown error") + ". The verified package is saved as " +
                        package.string() + ".";
        g_clear_error(&error);
    }
    g_object_unref(context);
    g_list_free(files);
    g_object_unref(file);
    g_object_unref(app);
    return launched;
}

bool UpdateDialog::on_delete_event(GdkEventAny*) {
    if (prompt_ && prompt_->closeAction) act(*prompt_->closeAction);
    return true;  // the checker's return to idle hides the window; verifying and installing keep it
}

bool UpdateDialog::on_key_press_event(GdkEventKey* event) {
    if (event->keyval == GDK_KEY_Escape) {
        if (prompt_ && prompt_->closeAction) act(*prompt_->closeAction);
        return true;
    }
    return Gtk::Window::on_key_press_event(event);
}

}  // namespace vhbr::gtk
