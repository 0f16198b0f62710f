#pragma once
// "Preferences": the upload speed limit, a switch and the limit in MB/s. Every change is saved and
// applied to running uploads at once; there is nothing to confirm.
//
// Threads: main thread only.

#include <gtkmm.h>

#include "UploadSpeedLimit.hpp"

namespace vhbr::gtk {

class PreferencesWindow : public Gtk::Window {
public:
    PreferencesWindow(Gtk::Window& parent, UploadSpeedLimit& limit);

private:
    bool on_key_press_event(GdkEventKey* event) override;

    UploadSpeedLimit& limit_;
    Gtk::Grid grid_;
    Gtk::Label limitLabel_;
    Gtk::Switch limitSwitch_;
    Gtk::Label rateLabel_;
    Gtk::SpinButton rate_;
};

}  // namespace vhbr::gtk
