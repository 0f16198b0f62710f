#include "OverlayView.hpp"

namespace vhbr::gtk {

OverlayView::OverlayView(std::function<void()> onButton) {
    get_style_context()->add_class("vhbr-overlay");
    column_.set_border_width(28);
    column_.set_halign(Gtk::ALIGN_CENTER);
    column_.set_valign(Gtk::ALIGN_CENTER);

    title_.get_style_context()->add_class("vhbr-overlay-title");
    title_.set_justify(Gtk::JUSTIFY_CENTER);
    message_.get_style_context()->add_class("dim-label");
    message_.get_style_context()->add_class("vhbr-overlay-message");
    message_.set_justify(Gtk::JUSTIFY_CENTER);
    message_.set_line_wrap(true);
    message_.set_max_width_chars(52);  // about 420 px in the default font
    button_.set_halign(Gtk::ALIGN_CENTER);
    button_.set_can_default(true);
    button_.get_style_context()->add_class("suggested-action");
    button_.signal_clicked().connect(std::move(onButton));

    column_.pack_start(title_, Gtk::PACK_SHRINK);
    column_.pack_start(message_, Gtk::PACK_SHRINK);
    column_.pack_start(button_, Gtk::PACK_SHRINK);
    column_.pack_start(spinner_, Gtk::PACK_SHRINK);
    add(column_);
    show_all_children();
}

void OverlayView::show(const Content& content) {
    title_.set_text(content.title);
    message_.set_text(content.message);
    button_.set_label(content.buttonLabel);
    button_.set_sensitive(content.buttonEnabled);
    spinner_.set_visible(content.showSpinner);
    if (content.showSpinner)
        spinner_.start();
    else
        spinner_.stop();
    Gtk::EventBox::show();
}

void OverlayView::takeDefault(Gtk::Window& window) {
    window.set_default(button_);
    if (button_.get_sensitive()) button_.grab_focus();
}

}  // namespace vhbr::gtk
