#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vhbr::dev {

struct Fault {
    std::string route;
    int times = 1;
    std::optional<int> partNumber;  // part-put only: just this part
    int delayMs = 0;
    bool drop = false;
    std::optional<int> status;
    std::string body;
    std::optional<int> retryAfter;  // with status: seconds in a Retry-After header
    // upload-session and upload-part-urls: the URLs handed out name a host that never resolves,
    // as when the storage's name cannot be looked up (checked offline: its first label is too long
    // for any DNS query to be sent).
    bool badHost = false;

    bool interrupts() const { return drop || status.has_value(); }
};

// Request counts per route, the most part PUTs of one upload seen at once, and armed faults, for
// tests and benchmarks.
class FaultInjector {
public:
    static bool isRoute(const std::string& route);
    static Fault parse(const nlohmann::json& request);  // throws HttpError 400

    // Counts the request and takes one use of the first armed fault that matches it.
    std::optional<Fault> onRequest(const std::string& route, std::optional<int> partNumber = std::nullopt);
    void arm(const Fault& fault);
    // Brackets one part PUT of an upload, from its arrival to its answer.
    void partPutBegins(const std::string& uploadId);
    void partPutEnds(const std::string& uploadId);
    nlohmann::json stats() const;
    void reset();

private:
    mutable std::mutex mutex_;
    std::map<std::string, int> requests_;
    std::map<int, int> partPuts_;
    std::map<std::string, int> partPutsInFlight_;      // by upload id
    std::map<std::string, int> partPutsInFlightPeak_;  // by upload id
    std::vector<Fault> faults_;
};

}  // namespace vhbr::dev
