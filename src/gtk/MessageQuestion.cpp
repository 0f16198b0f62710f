#include "MessageQuestion.hpp"

namespace vhbr::gtk {

Gtk::MessageDialog* MessageQuestion::ask(Gtk::Window* parent, Gtk::MessageType type, const std::string& message,
                                         const std::string& detail, const std::vector<std::string>& buttons,
                                         std::function<void(int)> answer) {
    auto* dialog = new Gtk::MessageDialog(message, false, type, Gtk::BUTTONS_NONE, true);
    // Named for the window list and task switchers, which show no message; the icon is the app's.
    dialog->set_title(message);
    if (parent) dialog->set_transient_for(*parent);
    if (!detail.empty()) dialog->set_secondary_text(detail);
    for (int i = static_cast<int>(buttons.size()) - 1; i >= 0; --i) dialog->add_button(buttons[i], i);
    if (!buttons.empty()) dialog->set_default_response(0);
    dialog->signal_response().connect([dialog, answer = std::move(answer)](int response) {
        dialog->hide();
        // Deleted from an idle callback: the dialog is still inside its own signal emission.
        Glib::signal_idle().connect_once([dialog] { delete dialog; });
        answer(response >= 0 ? response : -1);
    });
    dialog->present();
    return dialog;
}

}  // namespace vhbr::gtk
