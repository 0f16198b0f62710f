#pragma once
// The header bar's "Uploads" button and its popover: every upload of this run and every saved
// one, each row with its progress, amount, speed, time left and state, and the actions that apply
// ("Pause Upload", "Resume Upload", …). The button shows while the list is not empty, with the
// combined progress of the uploads under way. What the rows say comes from the app layer's
// UploadList; this class only draws it, at most four times a second.
//
// The rows cost memory only while they can be seen. While the list is closed no row exists; while
// it is open every upload has a light row (focusable, named for assistive technologies, activated
// by Return or Space), and only the rows within a page of the visible part carry their labels,
// progress bar and buttons, made as they scroll near and dropped as they scroll far away. A
// drawn row costs some 80 KiB (widgets, styles, text layouts, accessible objects), so a hundred
// finished uploads would otherwise hold megabytes that nobody looks at.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <memory>
#include <string>
#include <vector>

#include "AppModel.hpp"
#include "Throttle.hpp"
#include "UploadList.hpp"

namespace vhbr::gtk {

class UploadsButton {
public:
    UploadsButton(Gtk::Window& window, AppModel& model);
    ~UploadsButton();
    UploadsButton(const UploadsButton&) = delete;
    UploadsButton& operator=(const UploadsButton&) = delete;

    Gtk::Widget& widget() { return button_; }
    // True while the list is on show (it would close if the keyboard focus moved elsewhere).
    bool isOpen() const { return popover_.is_visible(); }

private:
    struct Row;
    struct RowContent;

    void refresh();
    void rebuild(const std::vector<UploadRow>& rows);
    void update(Row& row, const UploadRow& data);
    void dropRows();
    // Gives the rows near the visible part their content and takes it from the others.
    void showNearRows();
    void showNearRowsSoon();
    void addContent(Row& row);
    // Back to a bare row of the common height, its labels and buttons freed.
    void dropContent(Row& row);
    bool holdsFocus(Row& row) const;
    std::unique_ptr<RowContent> makeContent(const UploadRow& data);
    static void fill(RowContent& content, const UploadRow& data);
    static void describe(Row& row);
    void actSoon(const std::string& id, const std::string& fileName, UploadRow::Action action);
    void act(const std::string& id, const std::string& fileName, UploadRow::Action action);
    void askThenPerform(const std::string& question, const std::string& detail, const std::string& confirm,
                        const std::string& keep, const std::string& id, UploadRow::Action action);

    Gtk::Window& window_;
    AppModel& model_;
    UploadList list_;
    Gtk::MenuButton button_;
    Gtk::Box buttonContent_{Gtk::ORIENTATION_HORIZONTAL, 4};
    Gtk::Image icon_;
    Gtk::Label percent_;
    Gtk::Popover popover_;
    Gtk::Box content_{Gtk::ORIENTATION_VERTICAL, 6};
    Gtk::ScrolledWindow scroll_;
    Gtk::ListBox rowsBox_;
    Gtk::Button clearFinished_;
    std::vector<std::unique_ptr<Row>> rows_;  // only while the list is open
    int rowHeight_ = 0;                       // of a row with content, once one was measured
    bool nearRowsPending_ = false;
    Throttle throttle_;
    sigc::connection listChanged_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for the idle callbacks
};

}  // namespace vhbr::gtk
