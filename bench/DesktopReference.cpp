// vhbr-desktop-reference: the floor that bench/desktop measures the desktop app against. A plain
// WebKitGTK window with WebKit's defaults, the size of the app's window, showing one page.
//
//   vhbr-desktop-reference URL
//
// Prints "load-finished" to stderr when the page's first load has finished, then shows it until
// the process is stopped or the window closed.

#include <webkit2/webkit2.h>

#include <cstdio>

namespace {

void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    static bool reported = false;
    if (event != WEBKIT_LOAD_FINISHED || reported) return;
    reported = true;
    std::fputs("load-finished\n", stderr);
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc != 2) {
        std::fputs("usage: vhbr-desktop-reference URL\n", stderr);
        return 2;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Velvetharbor reference");
    gtk_window_set_default_size(GTK_WINDOW(window), 1100, 760);
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(view, "load-changed", G_CALLBACK(loadChanged), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
