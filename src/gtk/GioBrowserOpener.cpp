#include "GioBrowserOpener.hpp"

#include <gio/gio.h>

namespace vhbr::gtk {

void GioBrowserOpener::open(const std::string& url) {
    main_.post([url] { launch(url); });
}

void GioBrowserOpener::launch(const std::string& url) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
        // Nothing is shown: a sign-in then waits until it expires or the user tries again.
        g_message("no program opened a link: %s", error ? error->message : "unknown error");
        g_clear_error(&error);
    }
}

}  // namespace vhbr::gtk
