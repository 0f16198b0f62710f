#pragma once
// BrowserOpener for front ends without a toolkit of their own (the CLI): runs `xdg-open URL`.
//
// Threads: any thread. open() returns at once; the launcher runs in a session of its own and is
// reaped in the background, so it neither blocks the caller nor lingers as a zombie.

#include <string>

#include "Auth/BrowserOpener.hpp"

namespace vhbr {

class XdgBrowserOpener final : public BrowserOpener {
public:
    void open(const std::string& url) override;
};

}  // namespace vhbr
