#include "GioBrowserOpener.hpp"

#include <gio/gio.h>

namespace vhbr::gtk {

void GioBrowserOpener::open(const std::string& url, NotOpened notOpened) {
    main_.post([url, notOpened = std::move(notOpened)] {
        const auto failure = launch(url);
        if (failure && notOpened) notOpened(*failure);
    });
}

std::optional<std::string> GioBrowserOpener::launch(const std::string& url) {
    GError* error = nullptr;
    if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) return std::nullopt;
    std::string reason = error && error->message ? error->message : "unknown error";
    g_clear_error(&error);
    g_message("no program opened a link: %s", reason.c_str());
    return reason;
}

}  // namespace vhbr::gtk
