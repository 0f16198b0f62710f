#include "LabelledRows.hpp"

namespace vhbr::gtk {

void attachLabelledRows(Gtk::Grid& grid, std::initializer_list<LabelledRow> rows) {
    int top = 0;
    for (const auto& row : rows) {
        grid.attach(row.label, 0, top);
        grid.attach(row.control, 1, top);
        ++top;
    }
}

}  // namespace vhbr::gtk
