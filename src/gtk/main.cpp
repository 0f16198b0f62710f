// velvetharbor: the desktop app. Hosts the service's web app, signs in through the browser and
// uploads media files opened with it.

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Application.hpp"
#include "Config/AppIdentity.hpp"
#include "I18n.hpp"
#include "Support/BundleInfo.hpp"

namespace {

// Also the source of the manual page (help2man reads it), so it is written for both.
constexpr const char* kHelp =
    "Usage: velvetharbor [FILE... | velvetharbor-desktop://...]\n"
    "Shows the Velvetharbor web app in a window, signs in through your web browser, and uploads\n"
    "the audio and video FILEs it is given to the Velvetharbor subtitling and translation service.\n"
    "\n"
    "Each file is checked and shown for confirmation: choose Subtitle or Translate and the\n"
    "languages, then Start. A running app receives the files and links of a second start.\n"
    "Closing the window keeps the app and its uploads running. Uploads cut off by a quit or a\n"
    "crash are offered again at the next start.\n"
    "\n"
    "Options:\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Environment:\n"
    "  VHBR_WEB_URL   the web app shown in the window\n"
    "  VHBR_API_URL   the service the uploads go to\n"
    "\n"
    "Files:\n"
    "  ~/.local/share/Velvetharbor   unfinished uploads and the web app's sign-in ($XDG_DATA_HOME)\n"
    "\n"
    "See also:\n"
    "  velvetharbor-cli(1)\n";

// Answered before GTK starts, so that neither needs a display (the manual page is made from
// them while the package is built).
bool answeredOption(int argc, char** argv) {
    if (argc != 2) return false;
    const std::string_view option = argv[1];
    if (option == "--help") {
        std::fputs(kHelp, stdout);
    } else if (option == "--version") {
        std::printf("velvetharbor %s\n", vhbr::BundleInfo::main().shortVersionString().c_str());
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (answeredOption(argc, argv)) return 0;
    // A full disk or file-size limit must fail a write with an error, not kill the process.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    // Blocks of a MiB and more (uploads' buffers, window-sized images) get pages of their own that
    // go back to the system when freed. By default malloc raises this bound to the largest block
    // freed so far, and such blocks then stay in the heaps of the worker threads that drew them,
    // which malloc_trim does not shrink: the app would hold them all day after an upload.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    // One heap for all threads. Each worker thread (a file's check, an upload and its parts) would
    // otherwise get a heap of its own, whose free top malloc_trim leaves in place: about 3 MiB
    // stayed after the first upload. The workers allocate little (their part buffers are blocks
    // of their own, above), so sharing the heap costs them nothing noticeable.
    mallopt(M_ARENA_MAX, 1);
    vhbr::gtk::initI18n();
    // The name desktops match windows to the launcher entry by: GTK gives it to every window as its
    // Wayland app id and X11 WM_CLASS name, dialogs and file choosers included. Set before GTK
    // starts, which would otherwise use the program's file name.
    g_set_prgname(vhbr::AppIdentity::kApplicationId);
    auto app = vhbr::gtk::Application::create();
    const int status = app->run(argc, argv);
    // An installed update asked to relaunch. The main loop has ended, and exec closes our session
    // bus connection, so the new version starts as the primary instance rather than handing its
    // launch to this one.
    const std::string program = app->relaunchProgram().string();
    if (program.empty()) return status;
    char* const args[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execv(program.c_str(), args);
    std::fprintf(stderr, "velvetharbor: could not start %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}
