#pragma once
// One transfer thread driving a libcurl multi handle. Connections, DNS and TLS sessions are reused
// across the requests of one session.
//
// Threads: every public member may be called from any thread. Completions run on the transfer
// thread and must be quick and must not throw; perform() wraps them for blocking callers.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/HttpTypes.hpp"

namespace vhbr {

struct HttpResult {
    std::exception_ptr error;  // TransportError, CancelledError or FileSystemError
    HttpResponse response;     // valid when error is null
};

class UrlSession {
public:
    using TaskId = std::uint64_t;
    using Completion = std::function<void(TaskId, HttpResult)>;

    struct Options {
        long maxConnectionsPerHost = 0;  // 0: libcurl's default (no limit)
    };

    UrlSession();
    explicit UrlSession(Options options);
    // Ends the transfer thread; transfers still running complete with CancelledError.
    ~UrlSession();
    UrlSession(const UrlSession&) = delete;
    UrlSession& operator=(const UrlSession&) = delete;

    // The process-wide session for API requests and single-file uploads.
    static UrlSession& shared();

    // Registers a transfer without starting it, so a caller can record the id first.
    TaskId createTask(HttpRequest request, Completion completion);
    void resume(TaskId id);
    // Ends a transfer early; its completion receives CancelledError. Unknown ids are ignored.
    void cancel(TaskId id);

    // Sends the request and waits for the whole reply. Stopping the token cancels it.
    HttpResponse perform(HttpRequest request, std::stop_token stop = {});

    struct Transfer;

private:
    void loop();
    void drainCommands();
    void finish(Transfer* transfer, int curlCode);
    // Continues the transfers that the speed limit paused, where its budget allows; returns how
    // long the loop may wait for sockets before looking again (ms).
    int continueLimited();
    void complete(std::unique_ptr<Transfer> transfer, HttpResult result);

    Options options_;
    void* multi_ = nullptr;
    std::mutex mutex_;
    bool stopping_ = false;
    TaskId nextId_ = 1;
    std::unordered_map<TaskId, std::unique_ptr<Transfer>> pending_;  // created, not yet started
    std::vector<TaskId> toStart_;
    std::vector<TaskId> toCancel_;
    std::unordered_map<TaskId, std::unique_ptr<Transfer>> running_;  // transfer thread only
    std::thread thread_;
};

}  // namespace vhbr
