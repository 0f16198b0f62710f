#pragma once
// The confirmation of one upload draft: the file, then what the service is to do with it and in
// which languages. It edits a copy of the draft; nothing is remembered until Start.
//
// Threads: main thread only. Modal over the main window; it answers through onStart or
// onCancel (never both, at most once) and never runs a nested main loop.

#include <gtkmm.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "UploadConfirmModel.hpp"

namespace vhbr::gtk {

class UploadConfirmDialog : public Gtk::Dialog {
public:
    UploadConfirmDialog(Gtk::Window& parent, UploadDraft draft,
                        std::function<void(const UploadDraft&)> onStart, std::function<void()> onCancel);

    const std::string& draftId() const { return model_.draft().id; }
    // Closes the dialog without answering (the draft went away elsewhere).
    void dismiss();
    // "2 of 3" beside the file name while several files wait; nothing for one.
    void setPosition(std::size_t index, std::size_t count);

private:
    void answer(int response);
    // Return starts the upload from whichever control has the keyboard; an open language list
    // keeps its own Return, which picks the entry.
    bool on_key_press_event(GdkEventKey* event) override;
    static void fill(Gtk::ComboBoxText& combo, const std::vector<UploadConfirmModel::Choice>& choices,
                     std::optional<std::size_t> selected);

    UploadConfirmModel model_;
    std::function<void(const UploadDraft&)> onStart_;
    std::function<void()> onCancel_;
    bool answered_ = false;

    Gtk::Box column_{Gtk::ORIENTATION_VERTICAL, 18};
    Gtk::Box header_{Gtk::ORIENTATION_VERTICAL, 4};
    Gtk::Box nameLine_{Gtk::ORIENTATION_HORIZONTAL, 12};
    Gtk::Label fileName_;
    Gtk::Label position_;
    Gtk::Label fileSize_;
    Gtk::Grid choices_;
    Gtk::Label intentLabel_, sourceLabel_, targetLabel_;
    Gtk::Box intentButtons_{Gtk::ORIENTATION_HORIZONTAL, 0};
    std::vector<std::unique_ptr<Gtk::RadioButton>> intents_;
    Gtk::ComboBoxText source_, target_;
};

}  // namespace vhbr::gtk
