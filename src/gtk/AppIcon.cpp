#include "AppIcon.hpp"

#include <gtkmm.h>

#include <filesystem>
#include <system_error>

namespace vhbr::gtk::AppIcon {

std::string themeFolder() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return (exe.parent_path().parent_path() / "share" / "icons").string();
}

void useForAllWindows() {
    if (const auto folder = themeFolder(); !folder.empty())
        Gtk::IconTheme::get_default()->append_search_path(folder);
    Gtk::Window::set_default_icon_name(kName);
    // X11's WM_CLASS class, which docks and window managers match to the launcher entry, is the
    // app id itself. GTK would capitalise it ("Com.velvetharbor…"), and resets it while it starts,
    // so this has to come after GTK has started and before the first window is realised.
    gdk_set_program_class(kName);
}

}  // namespace vhbr::gtk::AppIcon
