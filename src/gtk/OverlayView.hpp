#pragma once
// One full-window overlay above the web view: a title, a message, one button and, while work is
// under way, a spinner; for a sign-in that waits, its link (selectable, with "Copy Link") and a
// "Cancel" button. What it says and whether its buttons work is decided by the app layer; this
// only draws it, copies the link it shows and reports the buttons.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <functional>
#include <optional>
#include <string>

namespace vhbr::gtk {

class OverlayView : public Gtk::EventBox {
public:
    struct Content {
        std::string title;
        std::string message;
        std::string buttonLabel;
        bool buttonEnabled = true;
        bool showSpinner = false;
        std::optional<std::string> link;
        bool showCancel = false;
    };

    OverlayView(std::function<void()> onButton, std::function<void()> onCancel);

    void show(const Content& content);
    // Makes the button the window's default, so that Return activates it while it is enabled.
    void takeDefault(Gtk::Window& window);

private:
    Gtk::Box column_{Gtk::ORIENTATION_VERTICAL, 14};
    Gtk::Label title_;
    Gtk::Label message_;
    Gtk::Box linkRow_{Gtk::ORIENTATION_HORIZONTAL, 8};
    Gtk::Label link_;
    Gtk::Button copy_;
    Gtk::Box buttons_{Gtk::ORIENTATION_HORIZONTAL, 8};
    Gtk::Button button_;
    Gtk::Button cancel_;
    Gtk::Spinner spinner_;
};

}  // namespace vhbr::gtk
