#pragma once
// The name the desktop knows this application by: its D-Bus name, the basename of its .desktop
// file and of its icons, the id its notifications and tray item carry. The installed data files
// (data/) spell the same name, and a desktop matches them letter for letter.
//
// Threads: constants; any thread.

#include <string>

namespace vhbr::AppIdentity {

inline constexpr const char* kApplicationId = "com.velvetharbor.Desktop";

// The .desktop file's URI as launchers name the application: "application://<id>.desktop".
inline std::string desktopFileURI() { return std::string("application://") + kApplicationId + ".desktop"; }

}  // namespace vhbr::AppIdentity
