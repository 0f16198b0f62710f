#pragma once

#include "Storage.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vhbr::dev {

struct Task {
    std::string id;
    std::string clientRequestId;
    std::string status = "created";  // created → processing (after upload-complete), or set by tests
    nlohmann::json request;          // the creation body as received
    std::string objectKey;           // set by the first upload session
    bool uploadComplete = false;
    std::string createdAt;
};

struct MultipartUpload {
    std::string uploadId;
    std::string taskId;
    std::string objectKey;
    std::string contentType;  // the file's type declared with the session; its parts must carry it
};

// Tasks, open multipart uploads and the metadata of stored objects, persisted as one JSON file
// (DIR/tasks.json) rewritten atomically after every change.
class TaskStore {
public:
    explicit TaskStore(const std::filesystem::path& dataDir);

    // Returns the task and whether it already existed for this clientRequestId.
    std::pair<Task, bool> createOrReuse(const nlohmann::json& request);
    std::optional<Task> task(const std::string& id) const;
    std::vector<Task> tasks() const;  // oldest first
    // Applies `change` to the task and saves; false when there is no such task.
    bool modify(const std::string& id, const std::function<void(Task&)>& change);

    MultipartUpload beginUpload(const std::string& taskId, const std::string& objectKey,
                                const std::string& contentType);
    std::optional<MultipartUpload> upload(const std::string& uploadId) const;
    bool endUpload(const std::string& uploadId);  // false when it was not open

    void recordObject(const std::string& key, const ObjectInfo& info);
    std::optional<ObjectInfo> object(const std::string& key) const;
    void forgetObject(const std::string& key);

private:
    void save() const;  // caller holds mutex_
    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::vector<Task> tasks_;
    std::map<std::string, MultipartUpload> uploads_;
    std::map<std::string, ObjectInfo> objects_;
};

// ISO 8601 UTC with milliseconds, e.g. 2025-01-02T03:04:05.678Z.
std::string isoTime(std::int64_t unixMs);
std::string isoNow(std::chrono::milliseconds offset = {});

}  // namespace vhbr::dev
