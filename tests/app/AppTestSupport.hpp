#pragma once
// Recording stand-ins for what the GTK front end supplies to the app layer.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/MainExecutor.hpp"
#include "Platform/RunLoop.hpp"
#include "RecordingBrowser.hpp"
#include "Support/Log.hpp"
#include "WebShell.hpp"

namespace vhbr::test {

// Runs loop until future is ready (10 s at most), then returns its value or "error: " and the
// error's text.
inline std::string awaitResult(RunLoop& loop, std::future<std::string>& future) {
    EXPECT_TRUE(
        loop.runUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                      std::chrono::seconds(10)));
    try {
        return future.get();
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
}

// A web view without a page renderer: it records loads and script calls and answers each script
// with answer(), delivered later from the main loop as WebKit does.
class TestWebShell : public WebShell {
public:
    struct Call {
        std::string script;
        nlohmann::json arguments;
    };

    explicit TestWebShell(MainExecutor& main) : main_(main) {}

    void load(const std::string& url, std::chrono::seconds) override {
        loads.push_back(url);
        page = url;
    }
    void reload() override { ++reloads; }
    std::optional<std::string> currentURL() const override { return pending ? pending : page; }
    std::optional<std::string> committedURL() const override { return page; }
    void callAsyncJavaScript(const std::string& script, const nlohmann::json& arguments,
                             ScriptCompletion completion) override {
        calls.push_back({script, arguments});
        main_.post([completion, result = answer(calls.back())] { completion(result); });
    }

    std::optional<std::string> page;     // committed
    std::optional<std::string> pending;  // a load under way that has not committed yet
    std::vector<std::string> loads;
    int reloads = 0;
    std::vector<Call> calls;
    std::function<ScriptResult(const Call&)> answer = [](const Call&) { return ScriptResult{}; };

private:
    MainExecutor& main_;
};

struct RecordingPresenter : WindowPresenter {
    int presented = 0;
    void presentMainWindow() override { ++presented; }
};

// Called from job threads.
class RecordingLogSink : public LogSink {
public:
    void write(LogLevel level, const std::string& line) noexcept override {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::string(logLevelName(level)) + " " + line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace vhbr::test
