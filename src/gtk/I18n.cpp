#include "I18n.hpp"

#include <glib.h>
#include <libintl.h>

#include <filesystem>

namespace vhbr::gtk {

void initI18n() {
    // The program sits in <prefix>/bin; its translations in <prefix>/share/locale.
    char* self = g_file_read_link("/proc/self/exe", nullptr);
    if (self) {
        const auto locale = std::filesystem::path(self).parent_path().parent_path() / "share" / "locale";
        bindtextdomain(GETTEXT_PACKAGE, locale.c_str());
        g_free(self);
    }
    bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
    textdomain(GETTEXT_PACKAGE);
}

}  // namespace vhbr::gtk
