#pragma once

#include "LoginStore.hpp"
#include "TaskStore.hpp"

#include <httplib.h>

namespace vhbr::dev {

// The web app: /app, /app/task/<id> and /desktop-login (one page, routed in the browser) and the
// small JSON API under /app-api/ that the page calls.
void registerWebApp(httplib::Server& server, LoginStore& logins, TaskStore& tasks);

}  // namespace vhbr::dev
