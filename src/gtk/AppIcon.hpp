#pragma once
// The app's icon as the desktop finds it: its name in the icon theme, and the theme folder that
// ships beside the program (an installation's share/icons, or the build tree's copy), so that a
// program run from the build tree or an unpacked tarball shows its own icon too.
//
// Threads: main thread (GTK's icon theme).

#include <string>

#include "Config/AppIdentity.hpp"

namespace vhbr::gtk::AppIcon {

// Named after the application, as the desktop looks icons up by its id.
inline constexpr const char* kName = AppIdentity::kApplicationId;

// <program dir>/../share/icons, or empty when the program's path cannot be read.
std::string themeFolder();

// Makes kName the icon and the X11 class of every window the app opens, dialogs included. Call
// once GTK has started (the application's startup), before the first window.
void useForAllWindows();

}  // namespace vhbr::gtk::AppIcon
