#pragma once
// A browser that opens nothing: it records the pages it was asked to open, and with
// notOpenedReason set it reports every page as not opened, as a desktop without a browser does.
//
// Threads: open() from any thread (the sign-in's worker calls it); urls() from any thread. Set
// notOpenedReason before the sign-in starts.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Auth/BrowserOpener.hpp"

namespace vhbr::test {

class RecordingBrowser : public BrowserOpener {
public:
    void open(const std::string& url, NotOpened notOpened) override {
        {
            std::lock_guard lock(mutex_);
            urls_.push_back(url);
        }
        if (notOpenedReason && notOpened) notOpened(*notOpenedReason);
    }
    std::vector<std::string> urls() const {
        std::lock_guard lock(mutex_);
        return urls_;
    }

    std::optional<std::string> notOpenedReason;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
};

}  // namespace vhbr::test
