#include "PreferencesWindow.hpp"

#include "I18n.hpp"
#include "LabelledRows.hpp"

namespace vhbr::gtk {

namespace {

constexpr double kMinimumMBps = 0.1;
constexpr double kMaximumMBps = 10000;

}  // namespace

PreferencesWindow::PreferencesWindow(Gtk::Window& parent, UploadSpeedLimit& limit)
    : limit_(limit), rate_(Gtk::Adjustment::create(limit.megabytesPerSecond(), kMinimumMBps, kMaximumMBps, 0.5, 5), 0.5, 1) {
    set_title(_("Preferences"));
    set_transient_for(parent);
    set_modal(true);
    set_resizable(false);
    set_type_hint(Gdk::WINDOW_TYPE_HINT_DIALOG);
    set_position(Gtk::WIN_POS_CENTER_ON_PARENT);

    limitLabel_.set_text(_("Limit upload speed"));
    limitLabel_.set_xalign(0);
    limitLabel_.set_hexpand(true);
    limitSwitch_.set_active(limit_.enabled());
    limitSwitch_.set_halign(Gtk::ALIGN_END);
    limitSwitch_.get_accessible()->set_name(_("Limit upload speed"));
    rateLabel_.set_text(_("Limit (MB/s)"));
    rateLabel_.set_xalign(0);
    rate_.set_halign(Gtk::ALIGN_END);
    rate_.set_numeric(true);
    rate_.set_sensitive(limit_.enabled());
    rate_.get_accessible()->set_name(_("Limit (MB/s)"));

    limitSwitch_.property_active().signal_changed().connect([this] {
        limit_.setEnabled(limitSwitch_.get_active());
        rate_.set_sensitive(limitSwitch_.get_active());
    });
    // The spin button keeps its value within range, so the model never refuses one from here.
    rate_.signal_value_changed().connect([this] { limit_.setMegabytesPerSecond(rate_.get_value()); });

    grid_.set_border_width(18);
    grid_.set_row_spacing(12);
    grid_.set_column_spacing(24);
    attachLabelledRows(grid_, {{limitLabel_, limitSwitch_}, {rateLabel_, rate_}});
    add(grid_);
    show_all_children();
}

bool PreferencesWindow::on_key_press_event(GdkEventKey* event) {
    if (event->keyval == GDK_KEY_Escape) {
        hide();
        return true;
    }
    return Gtk::Window::on_key_press_event(event);
}

}  // namespace vhbr::gtk
