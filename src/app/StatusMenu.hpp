#pragma once
// The status (tray) menu as an ordered list of item descriptions, rebuilt from the current state
// each time it opens; the front end draws the items and routes each action back to AppModel.
//
// Threads: main thread (it reads the upload models).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Upload/UploadModels.hpp"

namespace vhbr {

struct StatusMenuItem {
    enum class Kind { item, separator };
    enum class Action {
        none,
        openTask,          // AppModel::navigateToTask(*payload)
        openVelvetharbor,  // AppModel::openMainWindow()
        checkForUpdates,   // AppModel::checkForUpdates()
        quit,              // the application's quit, with its confirmation
    };

    Kind kind = Kind::item;
    std::string title;
    bool enabled = false;
    Action action = Action::none;
    std::optional<std::string> payload;  // the task id of openTask
    std::string keyEquivalent;           // "q" for quit

    bool operator==(const StatusMenuItem&) const = default;
};

namespace StatusMenu {

// Active uploads ("talk.mp4 — 45%", disabled) or "No Active Uploads"; up to five "Open Task <id>";
// "Open Velvetharbor"; "Check for Updates…" (enabled when canCheckForUpdates); "Quit Velvetharbor".
std::vector<StatusMenuItem> build(const std::vector<std::shared_ptr<UploadTaskModel>>& activeUploads,
                                  const std::vector<std::string>& completedTaskIDs, bool canCheckForUpdates);

}  // namespace StatusMenu

}  // namespace vhbr
