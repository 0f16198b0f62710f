#pragma once
// The completion notification: its content is fixed here; delivering it is the front end's job.

#include <map>
#include <string>

namespace vhbr {

struct NotificationContent {
    std::string identifier;  // "upload-<taskID>": a repeated notification replaces the earlier one
    std::string title;
    std::string body;
    std::map<std::string, std::string> userInfo;

    bool operator==(const NotificationContent&) const = default;
};

NotificationContent uploadCompletedContent(const std::string& fileName, const std::string& taskID);

class NotificationService {
public:
    virtual ~NotificationService() = default;
    // Main thread. Best effort: delivery failures are swallowed.
    virtual void notifyUploadCompleted(const std::string& fileName, const std::string& taskID) = 0;
};

}  // namespace vhbr
