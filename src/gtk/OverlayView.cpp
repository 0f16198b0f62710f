#include "OverlayView.hpp"

#include "I18n.hpp"

namespace vhbr::gtk {

OverlayView::OverlayView(std::function<void()> onButton, std::function<void()> onCancel) {
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
    cancel_.set_label(_("Cancel"));
    cancel_.signal_clicked().connect(std::move(onCancel));
    buttons_.set_halign(Gtk::ALIGN_CENTER);
    buttons_.pack_start(cancel_, Gtk::PACK_SHRINK);
    buttons_.pack_start(button_, Gtk::PACK_SHRINK);

    // The link is long and has no spaces: it wraps anywhere, and can be selected and copied.
    link_.set_selectable(true);
    link_.set_line_wrap(true);
    link_.set_line_wrap_mode(Pango::WRAP_CHAR);
    link_.set_max_width_chars(52);
    link_.set_xalign(0);
    copy_.set_label(_("Copy Link"));
    copy_.set_valign(Gtk::ALIGN_CENTER);
    copy_.signal_clicked().connect(
        [this] { Gtk::Clipboard::get(GDK_SELECTION_CLIPBOARD)->set_text(link_.get_text()); });
    linkRow_.set_halign(Gtk::ALIGN_CENTER);
    linkRow_.pack_start(link_, Gtk::PACK_SHRINK);
    linkRow_.pack_start(copy_, Gtk::PACK_SHRINK);

    column_.pack_start(title_, Gtk::PACK_SHRINK);
    column_.pack_start(message_, Gtk::PACK_SHRINK);
    column_.pack_start(linkRow_, Gtk::PACK_SHRINK);
    column_.pack_start(buttons_, Gtk::PACK_SHRINK);
    column_.pack_start(spinner_, Gtk::PACK_SHRINK);
    add(column_);
    show_all_children();
}

void OverlayView::show(const Content& content) {
    title_.set_text(content.title);
    message_.set_text(content.message);
    button_.set_label(content.buttonLabel);
    button_.set_sensitive(content.buttonEnabled);
    // Set only when it changed: setting the same text again would drop the user's selection.
    if (content.link && link_.get_text() != *content.link) link_.set_text(*content.link);
    linkRow_.set_visible(content.link.has_value());
    cancel_.set_visible(content.showCancel);
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
