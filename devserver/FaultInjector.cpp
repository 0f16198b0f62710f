#include "FaultInjector.hpp"

#include "JsonSchema.hpp"

#include <algorithm>
#include <array>

namespace vhbr::dev {

namespace {
constexpr std::array<const char*, 11> kRoutes{
    "login-start",       "login-claim",    "create-task",           "upload-session", "upload-part-urls",
    "complete-multipart-upload", "upload-complete", "staged-upload-cleanup", "object-put",     "part-put", "task-file"};
}

bool FaultInjector::isRoute(const std::string& route) {
    return std::find(kRoutes.begin(), kRoutes.end(), route) != kRoutes.end();
}

Fault FaultInjector::parse(const nlohmann::json& request) {
    checkObject(request, {{"route", Kind::String},
                       {"times", Kind::Integer, false},
                       {"status", Kind::Integer, false},
                       {"body", Kind::String, false},
                       {"delayMs", Kind::Integer, false},
                       {"drop", Kind::Boolean, false},
                       {"badHost", Kind::Boolean, false},
                       {"partNumber", Kind::Integer, false},
                       {"retryAfter", Kind::Integer, false}});
    Fault f;
    f.route = request["route"];
    if (!isRoute(f.route)) throw HttpError(400, "unknown route \"" + f.route + "\"");
    f.times = request.value("times", 1);
    f.delayMs = request.value("delayMs", 0);
    f.drop = request.value("drop", false);
    f.body = request.value("body", "");
    f.badHost = request.value("badHost", false);
    if (request.contains("status")) f.status = request["status"].get<int>();
    if (request.contains("partNumber")) f.partNumber = request["partNumber"].get<int>();
    if (request.contains("retryAfter")) f.retryAfter = request["retryAfter"].get<int>();
    if (f.retryAfter && (!f.status || *f.retryAfter < 0)) throw HttpError(400, "retryAfter needs a status and is not negative");
    if (f.times < 1 || f.delayMs < 0) throw HttpError(400, "times must be at least 1 and delayMs not negative");
    if (f.status && (*f.status < 200 || *f.status > 599)) throw HttpError(400, "status must be 200 to 599");
    if (f.partNumber && f.route != "part-put") throw HttpError(400, "partNumber applies to part-put only");
    if (f.badHost && f.route != "upload-session" && f.route != "upload-part-urls")
        throw HttpError(400, "badHost applies to upload-session and upload-part-urls only");
    return f;
}

std::optional<Fault> FaultInjector::onRequest(const std::string& route, std::optional<int> partNumber) {
    std::lock_guard lock(mutex_);
    ++requests_[route];
    if (partNumber) ++partPuts_[*partNumber];
    const auto it = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& f) {
        return f.route == route && (!f.partNumber || f.partNumber == partNumber);
    });
    if (it == faults_.end()) return std::nullopt;
    Fault taken = *it;
    if (--it->times == 0) faults_.erase(it);
    return taken;
}

void FaultInjector::arm(const Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void FaultInjector::partPutBegins(const std::string& uploadId) {
    std::lock_guard lock(mutex_);
    auto& peak = partPutsInFlightPeak_[uploadId];
    peak = std::max(peak, ++partPutsInFlight_[uploadId]);
}

void FaultInjector::partPutEnds(const std::string& uploadId) {
    std::lock_guard lock(mutex_);
    if (--partPutsInFlight_[uploadId] == 0) partPutsInFlight_.erase(uploadId);
}

nlohmann::json FaultInjector::stats() const {
    std::lock_guard lock(mutex_);
    nlohmann::json out{{"requests", nlohmann::json::object()},
                       {"partPuts", nlohmann::json::object()},
                       {"partPutsInFlightPeak", partPutsInFlightPeak_},
                       {"armedFaults", faults_.size()}};
    for (const auto& [route, n] : requests_) out["requests"][route] = n;
    for (const auto& [part, n] : partPuts_) out["partPuts"][std::to_string(part)] = n;
    return out;
}

void FaultInjector::reset() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    partPuts_.clear();
    partPutsInFlightPeak_.clear();  // those in flight now still end, so their count stays
    faults_.clear();
}

}  // namespace vhbr::dev
