#include "StatusMenu.hpp"

#include <algorithm>

#include "Support/Percent.hpp"

namespace vhbr::StatusMenu {

namespace {

constexpr std::size_t kTaskItems = 5;

StatusMenuItem separator() {
    return {StatusMenuItem::Kind::separator, {}, false, StatusMenuItem::Action::none, {}, {}};
}

StatusMenuItem item(std::string title, bool enabled, StatusMenuItem::Action action,
                    std::optional<std::string> payload = std::nullopt, std::string key = {}) {
    return {StatusMenuItem::Kind::item, std::move(title), enabled, action,
            std::move(payload),         std::move(key)};
}

std::string uploadTitle(const UploadTaskModel& upload) {
    return upload.fileName() + " — " + std::to_string(wholePercent(upload.progress())) + "%";
}

}  // namespace

std::vector<StatusMenuItem> build(const std::vector<std::shared_ptr<UploadTaskModel>>& activeUploads,
                                  const std::vector<std::string>& completedTaskIDs, bool canCheckForUpdates) {
    using Action = StatusMenuItem::Action;
    std::vector<StatusMenuItem> menu;
    for (const auto& upload : activeUploads)
        if (upload->status().isActive()) menu.push_back(item(uploadTitle(*upload), false, Action::none));
    if (menu.empty()) menu.push_back(item("No Active Uploads", false, Action::none));

    if (!completedTaskIDs.empty()) {
        menu.push_back(separator());
        const auto count = std::min(completedTaskIDs.size(), kTaskItems);
        for (std::size_t i = 0; i < count; ++i)
            menu.push_back(
                item("Open Task " + completedTaskIDs[i], true, Action::openTask, completedTaskIDs[i]));
    }
    menu.push_back(separator());
    menu.push_back(item("Open Velvetharbor", true, Action::openVelvetharbor));
    menu.push_back(item("Check for Updates…", canCheckForUpdates, Action::checkForUpdates));
    menu.push_back(separator());
    menu.push_back(item("Quit Velvetharbor", true, Action::quit, std::nullopt, "q"));
    return menu;
}

}  // namespace vhbr::StatusMenu
