#pragma once
// BrowserOpener for front ends without a toolkit of their own (the CLI): runs `xdg-open URL`.
//
// Threads: any thread. open() returns at once; the launcher runs in a session of its own and is
// reaped in the background, so it neither blocks the caller nor lingers as a zombie. A launcher
// that cannot start, or that ends with a failure, is reported to notOpened (from the reaping
// thread in the second case).

#include <string>

#include "Auth/BrowserOpener.hpp"

namespace vhbr {

class XdgBrowserOpener final : public BrowserOpener {
public:
    void open(const std::string& url, NotOpened notOpened) override;
};

}  // namespace vhbr
