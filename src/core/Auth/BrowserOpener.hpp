#pragma once
// Opens a web page in the user's default browser.
//
// Threads: open() may be called from any thread, the sign-in worker included; an implementation
// that needs the main thread posts there and returns. notOpened, when given, is called at most
// once, from any thread, when no program took the page (no browser installed, the launcher
// failed); the caller then offers the page some other way. A page that opened reports nothing.

#include <functional>
#include <string>

namespace vhbr {

class BrowserOpener {
public:
    // reason: the launcher's own description of the failure.
    using NotOpened = std::function<void(const std::string& reason)>;

    virtual ~BrowserOpener() = default;
    virtual void open(const std::string& url, NotOpened notOpened) = 0;
};

}  // namespace vhbr
