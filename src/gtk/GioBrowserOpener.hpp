#pragma once
// Opens web pages and other programs' links with the user's default handler, through GIO (the
// desktop's own choice of browser, portal aware).
//
// Threads: open() from any thread; the launch itself happens on the main thread, posted, and a
// failed launch is reported to notOpened from there.

#include <optional>
#include <string>

#include "Auth/BrowserOpener.hpp"
#include "Platform/MainExecutor.hpp"

namespace vhbr::gtk {

class GioBrowserOpener final : public BrowserOpener {
public:
    explicit GioBrowserOpener(MainExecutor& main) : main_(main) {}
    void open(const std::string& url, NotOpened notOpened) override;

    // Main thread: hands url to its default handler. Returns why that failed, or nothing; a
    // failure is also logged.
    static std::optional<std::string> launch(const std::string& url);

private:
    MainExecutor& main_;
};

}  // namespace vhbr::gtk
