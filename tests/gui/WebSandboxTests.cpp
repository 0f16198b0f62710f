#include <gtest/gtest.h>

#include <string>

#include "WebSandbox.hpp"

namespace vhbr::gtk {
namespace {

// The sandbox is used only where its programs run: a missing or failing bubblewrap, or a missing
// D-Bus proxy, means no sandbox (the web view would otherwise stay blank).
TEST(WebSandbox, UsedOnlyWhenBubblewrapRuns) {
    struct Case {
        const char* bubblewrap;
        const char* dbusProxy;
        bool usable;
    };
    const Case cases[] = {
        {"/bin/true", "/bin/true", true},  // exits 0 for the probe's command line
        {"/bin/false", "/bin/true", false},
        {"/nonexistent/bwrap", "/bin/true", false},
        {"/bin/true", "/nonexistent/xdg-dbus-proxy", false},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(WebSandbox::canRun(c.bubblewrap, c.dbusProxy, why), c.usable)
            << c.bubblewrap << " " << c.dbusProxy;
        EXPECT_EQ(why.empty(), c.usable) << why;
    }
}

}  // namespace
}  // namespace vhbr::gtk
