// velvetharbor: the desktop app. Hosts the service's web app, signs in through the browser and
// uploads media files opened with it.

#include <signal.h>

#include "Application.hpp"
#include "I18n.hpp"

int main(int argc, char** argv) {
    // A full disk or file-size limit must fail a write with an error, not kill the process.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    vhbr::gtk::initI18n();
    auto app = vhbr::gtk::Application::create();
    return app->run(argc, argv);
}
