#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "Auth/XdgBrowserOpener.hpp"
#include "TempDir.hpp"

namespace vhbr {
namespace {

using namespace std::chrono_literals;

// Points PATH at one folder for the test's duration.
class ScopedPath {
public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) old_ = old;
        ::setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() {
        if (old_)
            ::setenv("PATH", old_->c_str(), 1);
        else
            ::unsetenv("PATH");
    }

private:
    std::optional<std::string> old_;
};

// True once this process has no child at all, finished or not; WNOWAIT leaves a zombie for its owner to reap.
bool noChildrenWithin(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

TEST(XdgBrowserOpenerTest, HandsTheURLToXdgOpenAndReapsIt) {
    test::TempDir dir("vhbr-xdg");
    const auto script = dir / "xdg-open";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.url\"\n";
    ::chmod(script.c_str(), 0700);
    ScopedPath path(dir.path().string() + ":/usr/bin:/bin");

    const std::string url = "http://127.0.0.1:9/desktop-login?nonce=a%26b";
    XdgBrowserOpener().open(url, [](const std::string&) { ADD_FAILURE() << "reported as not opened"; });

    const auto recorded = dir / "xdg-open.url";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(recorded) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    std::stringstream content;
    content << std::ifstream(recorded).rdbuf();
    EXPECT_EQ(content.str(), url);
    EXPECT_TRUE(noChildrenWithin(5s));
}

TEST(XdgBrowserOpenerTest, MissingLauncherIsReported) {
    test::TempDir empty("vhbr-xdg");
    ScopedPath path(empty.path().string());
    std::string reason;
    XdgBrowserOpener().open("http://127.0.0.1:9/", [&](const std::string& r) { reason = r; });
    EXPECT_EQ(reason, "xdg-open is not installed");
    EXPECT_TRUE(noChildrenWithin(5s));
}

}  // namespace
}  // namespace vhbr
