#pragma once
// Opens a web page in the user's default browser.
//
// Threads: open() may be called from any thread, the sign-in worker included; an implementation
// that needs the main thread posts there and returns. It reports nothing: a page that fails to
// open leaves the sign-in waiting until its request expires or the user cancels.

#include <string>

namespace vhbr {

class BrowserOpener {
public:
    virtual ~BrowserOpener() = default;
    virtual void open(const std::string& url) = 0;
};

}  // namespace vhbr
