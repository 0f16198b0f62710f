#pragma once
// The "Software Update" window behind "Check for Updates…": it draws the update checker's state
// (as UpdatePrompt decides it) and redraws on the checker's change signal. It appears when the
// checker leaves idle and goes when it returns there; its buttons call the checker's operations,
// never a nested main loop. A verified Debian package is handed to the desktop's software
// installer as soon as it is ready; a tarball update offers to relaunch.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Update/UpdateChecker.hpp"
#include "UpdatePrompt.hpp"

namespace vhbr::gtk {

class UpdateDialog : public Gtk::Window {
public:
    // parent: the window to stay above while it is shown (may return nullptr); relaunch: quit
    // and start the given program.
    UpdateDialog(UpdateChecker& checker, std::function<Gtk::Window*()> parent,
                 std::function<void(const std::filesystem::path&)> relaunch);
    ~UpdateDialog() override;

private:
    void redraw();
    void rebuildButtons(const UpdatePrompt& prompt);
    void act(UpdatePrompt::Action action);
    // Opens the package with the default application for Debian packages; false with
    // packageError_ set when there is none or it cannot be started.
    bool openPackage(const std::filesystem::path& package);
    bool on_delete_event(GdkEventAny* event) override;
    bool on_key_press_event(GdkEventKey* event) override;

    UpdateChecker& checker_;
    std::function<Gtk::Window*()> parent_;
    std::function<void(const std::filesystem::path&)> relaunch_;
    sigc::connection changed_;
    std::optional<UpdatePrompt> prompt_;
    std::optional<UpdateChecker::Phase> drawnPhase_;
    std::string packageError_;  // readyToOpen: why the package could not be opened

    Gtk::HeaderBar header_;
    Gtk::Box outer_{Gtk::ORIENTATION_HORIZONTAL, 16};
    Gtk::Image icon_;
    Gtk::Box column_{Gtk::ORIENTATION_VERTICAL, 10};
    Gtk::Label title_;
    Gtk::Label message_;
    Gtk::ScrolledWindow notesScroll_;
    Gtk::Label notes_;
    Gtk::Box busyRow_{Gtk::ORIENTATION_HORIZONTAL, 8};
    Gtk::Spinner spinner_;
    Gtk::ProgressBar progress_;
    Gtk::ButtonBox buttons_{Gtk::ORIENTATION_HORIZONTAL};
    std::vector<std::unique_ptr<Gtk::Button>> buttonWidgets_;
};

}  // namespace vhbr::gtk
