#pragma once
// The desktop app's own texts go through gettext; the English texts are the message ids.
//
// Threads: any thread, after initI18n() ran on the main thread at start.

#include <glib/gi18n-lib.h>

namespace vhbr::gtk {

// Binds the "velvetharbor" text domain to the installed locale folder (<prefix>/share/locale).
void initI18n();

}  // namespace vhbr::gtk
