#include "FileReveal.hpp"

#include <gtkmm.h>

#include <memory>
#include <string>

#include "GioBrowserOpener.hpp"

namespace vhbr::gtk {

namespace {

void revealed(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::string> folder(static_cast<std::string*>(data));
    GError* error = nullptr;
    if (GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error)) {
        g_variant_unref(reply);
        return;
    }
    g_error_free(error);
    // No file manager takes the request: at least open the folder that holds the file.
    GioBrowserOpener::launch(*folder);
}

}  // namespace

void revealInFiles(const std::filesystem::path& file) {
    const std::string folderURI = Glib::filename_to_uri(file.parent_path().string());
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_error_free(error);
        GioBrowserOpener::launch(folderURI);
        return;
    }
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE_STRING_ARRAY);
    g_variant_builder_add(&uris, "s", Glib::filename_to_uri(file.string()).c_str());
    g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(ass)", &uris, ""),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, revealed,
                           new std::string(folderURI));
    g_object_unref(bus);
}

}  // namespace vhbr::gtk
