#include "Notifications/NotificationService.hpp"

namespace vhbr {

NotificationContent uploadCompletedContent(const std::string& fileName, const std::string& taskID) {
    return {"upload-" + taskID, "Velvetharbor upload complete", fileName + " is processing.", {{"taskID", taskID}}};
}

}  // namespace vhbr
