#include "TaskStore.hpp"

#include "Crypto.hpp"

#include <chrono>
#include <ctime>
#include <fstream>

namespace vhbr::dev {
using nlohmann::json;

std::string isoNow(std::chrono::milliseconds offset) {
    const auto t = std::chrono::system_clock::now() + offset;
    return isoTime(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

std::string isoTime(std::int64_t ms) {
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

TaskStore::TaskStore(const std::filesystem::path& dataDir) : file_(dataDir / "tasks.json") {
    std::ifstream in(file_);
    if (!in) return;
    const json doc = json::parse(in);
    for (const auto& t : doc.at("tasks"))
        tasks_.push_back({t.at("id"), t.at("clientRequestId"), t.at("status"), t.at("request"), t.at("objectKey"),
                          t.at("uploadComplete"), t.at("createdAt")});
    for (const auto& u : doc.at("uploads"))
        uploads_[u.at("uploadId")] = {u.at("uploadId"), u.at("taskId"), u.at("objectKey"), u.value("contentType", "")};
    for (const auto& [key, o] : doc.at("objects").items()) objects_[key] = {o.at("size"), o.at("etag"), o.at("sha256")};
}

void TaskStore::save() const {
    json doc{{"tasks", json::array()}, {"uploads", json::array()}, {"objects", json::object()}};
    for (const auto& t : tasks_)
        doc["tasks"].push_back({{"id", t.id}, {"clientRequestId", t.clientRequestId}, {"status", t.status},
                                {"request", t.request}, {"objectKey", t.objectKey},
                                {"uploadComplete", t.uploadComplete}, {"createdAt", t.createdAt}});
    for (const auto& [id, u] : uploads_)
        doc["uploads"].push_back(
            {{"uploadId", id}, {"taskId", u.taskId}, {"objectKey", u.objectKey}, {"contentType", u.contentType}});
    for (const auto& [key, o] : objects_) doc["objects"][key] = {{"size", o.size}, {"etag", o.etag}, {"sha256", o.sha256}};
    writeFileAtomically(file_, doc.dump(1));
}

std::pair<Task, bool> TaskStore::createOrReuse(const json& request) {
    std::lock_guard lock(mutex_);
    const std::string clientRequestId = request.at("clientRequestId");
    for (const auto& t : tasks_)
        if (t.clientRequestId == clientRequestId) return {t, true};
    Task t;
    t.id = "task-" + randomHex(8);
    t.clientRequestId = clientRequestId;
    t.request = request;
    t.createdAt = isoNow();
    tasks_.push_back(t);
    save();
    return {t, false};
}

std::optional<Task> TaskStore::task(const std::string& id) const {
    std::lock_guard lock(mutex_);
    for (const auto& t : tasks_)
        if (t.id == id) return t;
    return std::nullopt;
}

std::vector<Task> TaskStore::tasks() const {
    std::lock_guard lock(mutex_);
    return tasks_;
}

bool TaskStore::modify(const std::string& id, const std::function<void(Task&)>& change) {
    std::lock_guard lock(mutex_);
    for (auto& t : tasks_) {
        if (t.id != id) continue;
        change(t);
        save();
        return true;
    }
    return false;
}

MultipartUpload TaskStore::beginUpload(const std::string& taskId, const std::string& objectKey,
                                       const std::string& contentType) {
    std::lock_guard lock(mutex_);
    MultipartUpload u{randomHex(16), taskId, objectKey, contentType};
    uploads_[u.uploadId] = u;
    save();
    return u;
}

std::optional<MultipartUpload> TaskStore::upload(const std::string& uploadId) const {
    std::lock_guard lock(mutex_);
    const auto it = uploads_.find(uploadId);
    return it == uploads_.end() ? std::nullopt : std::optional(it->second);
}

bool TaskStore::endUpload(const std::string& uploadId) {
    std::lock_guard lock(mutex_);
    if (uploads_.erase(uploadId) == 0) return false;
    save();
    return true;
}

void TaskStore::recordObject(const std::string& key, const ObjectInfo& info) {
    std::lock_guard lock(mutex_);
    objects_[key] = info;
    save();
}

std::optional<ObjectInfo> TaskStore::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(key);
    return it == objects_.end() ? std::nullopt : std::optional(it->second);
}

void TaskStore::forgetObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (objects_.erase(key)) save();
}

}  // namespace vhbr::dev
