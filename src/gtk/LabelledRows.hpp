#pragma once
// The rows of a small form: each a label and the control it names, one under the other, so that
// every form of the app lines its labels and controls up the same way.
//
// Threads: main thread (GTK).

#include <gtkmm.h>

#include <initializer_list>

namespace vhbr::gtk {

struct LabelledRow {
    Gtk::Label& label;
    Gtk::Widget& control;
};

// Attaches each row's label in the grid's first column and its control in the second, from the
// top row down.
void attachLabelledRows(Gtk::Grid& grid, std::initializer_list<LabelledRow> rows);

}  // namespace vhbr::gtk
