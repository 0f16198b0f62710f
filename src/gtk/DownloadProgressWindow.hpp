#pragma once
// The small window shown while a web download is written: where it goes, a progress bar that
// pulses while the size is unknown, the status text and "Cancel Download". The window manager
// cannot close it: the download ends through its button or by itself, never by a lost window.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <functional>

#include "ShellDownload.hpp"

namespace vhbr::gtk {

class DownloadProgressWindow : public Gtk::Window {
public:
    DownloadProgressWindow(Gtk::Window& parent, const ProgressPanel& panel, std::function<void()> onCancel);

    void update(const ProgressDisplay& display);

private:
    bool on_delete_event(GdkEventAny* event) override;

    Gtk::HeaderBar header_;
    Gtk::Box box_{Gtk::ORIENTATION_VERTICAL, 10};
    Gtk::Label savingTo_;
    Gtk::ProgressBar bar_;
    Gtk::Label status_;
    Gtk::Button cancel_;
};

}  // namespace vhbr::gtk
