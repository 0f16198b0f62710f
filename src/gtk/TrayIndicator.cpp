#include "TrayIndicator.hpp"

#include <string>

#include "AppIcon.hpp"
#include "AppLifecycle.hpp"
#include "Config/AppIdentity.hpp"

namespace vhbr::gtk {

namespace {

// The tray's icons are named after the application, as the data files install them.
const std::string kIdleIconName = std::string(AppIdentity::kApplicationId) + "-tray-symbolic";
const std::string kActiveIconName = std::string(AppIdentity::kApplicationId) + "-tray-active-symbolic";
const char* const kIdleIcon = kIdleIconName.c_str();
const char* const kActiveIcon = kActiveIconName.c_str();
constexpr auto kRefreshInterval = std::chrono::milliseconds(250);

// Same kinds, actions and targets in the same order: only titles and states differ.
bool sameShape(const std::vector<StatusMenuItem>& a, const std::vector<StatusMenuItem>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].action != b[i].action || a[i].payload != b[i].payload)
            return false;
    return true;
}

// Menu labels read "_" as the mark of an access key, here and in the tray host's copy: a file
// named team_talk.wav would show as "teamtalk.wav". A doubled one stands for itself.
Glib::ustring menuLabel(const std::string& title) {
    std::string label;
    for (const char c : title) {
        if (c == '_') label += '_';
        label += c;
    }
    return label;
}

}  // namespace

TrayIndicator::TrayIndicator(AppModel& model, std::function<void()> quit)
    : model_(model), quit_(std::move(quit)), throttle_(kRefreshInterval, [this] { refresh(); }) {
    indicator_ =
        app_indicator_new(AppIdentity::kApplicationId, kIdleIcon, APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    // The tray host is another process: it is told where the icons are.
    if (const auto path = AppIcon::themeFolder(); !path.empty())
        app_indicator_set_icon_theme_path(indicator_, path.c_str());
    app_indicator_set_title(indicator_, AppLifecycle::kMainWindowTitle);
    app_indicator_set_icon_full(indicator_, kIdleIcon, AppLifecycle::kMainWindowTitle);
    shownIcon_ = kIdleIcon;
    menu_.set_accel_group(accelerators_);
    app_indicator_set_menu(indicator_, menu_.gobj());
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);

    auto& uploads = model_.uploadManager();
    managerConnections_.push_back(uploads.activeUploadsChanged.connect([this] {
        watchUploads();
        throttle_.request();
    }));
    managerConnections_.push_back(uploads.completedTaskIDsChanged.connect([this] { throttle_.request(); }));
    // "Check for Updates…" is off while a check runs and on again after it.
    managerConnections_.push_back(model_.canCheckForUpdatesChanged.connect([this] { throttle_.request(); }));
    watchUploads();
    refresh();
}

TrayIndicator::~TrayIndicator() {
    for (auto& c : managerConnections_) c.disconnect();
    for (auto& c : uploadConnections_) c.disconnect();
    g_object_unref(indicator_);
}

void TrayIndicator::watchUploads() {
    for (auto& c : uploadConnections_) c.disconnect();
    uploadConnections_.clear();
    for (const auto& upload : model_.uploadManager().activeUploads())
        uploadConnections_.push_back(upload->changed.connect([this] { throttle_.request(); }));
}

void TrayIndicator::refresh() {
    auto& uploads = model_.uploadManager();
    showItems(
        StatusMenu::build(uploads.activeUploads(), uploads.completedTaskIDs(), model_.canCheckForUpdates()));
    // The dot is a second icon rather than the attention status, which hosts show as an alarm.
    const char* icon = uploads.hasActiveUploads() ? kActiveIcon : kIdleIcon;
    if (icon != shownIcon_) {
        app_indicator_set_icon_full(indicator_, icon, AppLifecycle::kMainWindowTitle);
        shownIcon_ = icon;
    }
    const auto badge = UploadManager::badgeText(uploads.activeUploads());
    app_indicator_set_label(indicator_, badge ? badge->c_str() : "", "100%");
}

void TrayIndicator::showItems(const std::vector<StatusMenuItem>& items) {
    if (!sameShape(items, shown_)) {
        rebuild(items);
    } else {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].kind == StatusMenuItem::Kind::separator) continue;
            if (items[i].title != shown_[i].title) items_[i]->set_label(menuLabel(items[i].title));
            if (items[i].enabled != shown_[i].enabled) items_[i]->set_sensitive(items[i].enabled);
        }
    }
    shown_ = items;
}

void TrayIndicator::rebuild(const std::vector<StatusMenuItem>& items) {
    for (auto& item : items_) menu_.remove(*item);
    items_.clear();
    for (const auto& description : items) {
        std::unique_ptr<Gtk::MenuItem> item;
        if (description.kind == StatusMenuItem::Kind::separator) {
            item = std::make_unique<Gtk::SeparatorMenuItem>();
        } else {
            item = std::make_unique<Gtk::MenuItem>(menuLabel(description.title), true);
            item->set_sensitive(description.enabled);
            // Shown beside the label, as in the window's menu; the shortcut itself is the app's.
            if (!description.keyEquivalent.empty())
                item->add_accelerator("activate", accelerators_,
                                      gdk_keyval_from_name(description.keyEquivalent.c_str()),
                                      Gdk::CONTROL_MASK, Gtk::ACCEL_VISIBLE);
            if (description.action != StatusMenuItem::Action::none)
                item->signal_activate().connect(
                    sigc::bind(sigc::mem_fun(*this, &TrayIndicator::activate), description));
        }
        item->show();
        menu_.append(*item);
        items_.push_back(std::move(item));
    }
}

void TrayIndicator::activate(const StatusMenuItem& item) {
    // Out of the menu's own signal: opening a task or the quit question changes what the menu shows.
    Glib::signal_idle().connect_once(sigc::bind(sigc::mem_fun(*this, &TrayIndicator::perform), item));
}

void TrayIndicator::perform(const StatusMenuItem& item) {
    using Action = StatusMenuItem::Action;
    switch (item.action) {
        case Action::openTask:
            if (item.payload) model_.navigateToTask(*item.payload);
            break;
        case Action::openVelvetharbor:
            model_.openMainWindow();
            break;
        case Action::checkForUpdates:
            model_.checkForUpdates();
            break;
        case Action::quit:
            quit_();
            break;
        case Action::none:
            break;
    }
}

}  // namespace vhbr::gtk
