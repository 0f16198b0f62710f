#pragma once
// One full-window overlay above the web view: a title, a message, one button and, while work is
// under way, a spinner. What it says and whether its button works is decided by the app layer;
// this only draws it and reports the button.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <functional>
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
    };

    explicit OverlayView(std::function<void()> onButton);

    void show(const Content& content);
    // Makes the button the window's default, so that Return activates it while it is enabled.
    void takeDefault(Gtk::Window& window);

private:
    Gtk::Box column_{Gtk::ORIENTATION_VERTICAL, 14};
    Gtk::Label title_;
    Gtk::Label message_;
    Gtk::Button button_;
    Gtk::Spinner spinner_;
};

}  // namespace vhbr::gtk
