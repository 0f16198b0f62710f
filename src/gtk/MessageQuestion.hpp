#pragma once
// A message dialog that answers through a callback instead of a nested main loop: the resume
// question, the quit question and the upload alert. The dialog deletes itself when answered.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <functional>
#include <string>
#include <vector>

namespace vhbr::gtk {

class MessageQuestion {
public:
    // buttons in order of importance: the first is the default (Return) and is placed last, at
    // the trailing end as GNOME places the affirmative button. answer gets the index of the
    // chosen button, or -1 when the dialog was closed without one (Escape, window closed).
    // The dialog stays valid until answer has been called: its owner may change its texts or
    // answer it meanwhile (response(i)).
    static Gtk::MessageDialog* ask(Gtk::Window* parent, Gtk::MessageType type, const std::string& message,
                                   const std::string& detail, const std::vector<std::string>& buttons,
                                   std::function<void(int)> answer);
};

}  // namespace vhbr::gtk
