#include "DownloadProgressWindow.hpp"

#include <algorithm>

namespace vhbr::gtk {

DownloadProgressWindow::DownloadProgressWindow(Gtk::Window& parent, const ProgressPanel& panel,
                                               std::function<void()> onCancel)
    : cancel_(panel.cancelLabel) {
    set_title(panel.title);
    // A title bar of its own, as the main window has, without a close button.
    header_.set_title(panel.title);
    header_.set_show_close_button(false);
    set_titlebar(header_);
    set_default_size(460, 170);
    set_resizable(false);
    set_deletable(false);
    set_type_hint(Gdk::WINDOW_TYPE_HINT_DIALOG);
    // Above the main window it belongs to, but not modal: the web app stays usable meanwhile.
    set_transient_for(parent);
    set_position(Gtk::WIN_POS_CENTER);

    // A long path wraps (paths have few spaces, so also inside words) and is cut after three lines.
    savingTo_.set_text(panel.savingTo);
    savingTo_.set_line_wrap(true);
    savingTo_.set_line_wrap_mode(Pango::WRAP_WORD_CHAR);
    savingTo_.set_lines(3);
    savingTo_.set_ellipsize(Pango::ELLIPSIZE_MIDDLE);
    savingTo_.set_max_width_chars(50);
    savingTo_.set_xalign(0);
    status_.set_xalign(0);
    cancel_.set_halign(Gtk::ALIGN_START);
    cancel_.signal_clicked().connect(std::move(onCancel));

    box_.set_margin_start(20);
    box_.set_margin_end(20);
    box_.set_margin_top(20);
    box_.set_margin_bottom(20);
    box_.pack_start(savingTo_, Gtk::PACK_SHRINK);
    box_.pack_start(bar_, Gtk::PACK_SHRINK);
    box_.pack_start(status_, Gtk::PACK_SHRINK);
    box_.pack_start(cancel_, Gtk::PACK_SHRINK);
    add(box_);
    show_all_children();
    bar_.pulse();
    // Return or Space cancels, as the window's only action.
    cancel_.set_can_default(true);
    set_default(cancel_);
    cancel_.grab_focus();
}

void DownloadProgressWindow::update(const ProgressDisplay& display) {
    if (display.indeterminate)
        bar_.pulse();
    else
        bar_.set_fraction(std::clamp(display.fraction, 0.0, 1.0));
    status_.set_text(display.text);
}

bool DownloadProgressWindow::on_delete_event(GdkEventAny*) { return true; }

}  // namespace vhbr::gtk
