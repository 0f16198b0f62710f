#include "UploadList.hpp"

#include <algorithm>
#include <cmath>

#include "Support/ByteCount.hpp"

namespace vhbr {

namespace {

using Kind = UploadTaskStatus::Kind;
using Action = UploadRow::Action;
constexpr const char* kUnknown = "—";

std::string languageName(const std::string& id) {
    for (const auto& option : LanguageOption::sourceOptions())
        if (option.id == id) return option.name;
    return id;
}

}  // namespace

UploadList::UploadList(UploadManager& manager, std::function<Clock::time_point()> clock)
    : manager_(manager), clock_(std::move(clock)) {
    listConnection_ = manager_.activeUploadsChanged.connect([this] {
        watch();
        changed.emit();
    });
    watch();
}

UploadList::~UploadList() {
    listConnection_.disconnect();
    for (auto& c : rowConnections_) c.disconnect();
}

void UploadList::watch() {
    for (auto& c : rowConnections_) c.disconnect();
    rowConnections_.clear();
    std::map<std::string, TransferRate> kept;
    for (const auto& model : manager_.activeUploads()) {
        if (auto it = rates_.find(model->id()); it != rates_.end()) kept.insert(std::move(*it));
        rowConnections_.push_back(model->changed.connect([this, m = model.get()] {
            sample(*m);
            changed.emit();
        }));
    }
    rates_ = std::move(kept);
    for (const auto& model : manager_.activeUploads()) sample(*model);
}

void UploadList::sample(const UploadTaskModel& model) {
    auto& rate = rates_[model.id()];
    // Only time spent sending counts: a paused or waiting upload starts its measure anew.
    if (model.status().kind() != Kind::uploading) {
        rate.reset();
        return;
    }
    rate.record(clock_(), model.bytesSent());
}

std::vector<UploadRow> UploadList::rows() const {
    const auto now = clock_();
    std::vector<UploadRow> rows;
    for (const auto& model : manager_.activeUploads()) rows.push_back(rowOf(*model, now));
    return rows;
}

UploadRow UploadList::rowOf(const UploadTaskModel& model, Clock::time_point now) const {
    UploadRow row;
    row.id = model.id();
    row.fileName = model.fileName();
    row.choices = choicesText(model.choices());
    row.fraction = std::clamp(model.progress(), 0.0, 1.0);
    row.amount = amountText(model.bytesSent(), model.fileSize());
    row.state = stateText(model.status());
    row.actions = actionsFor(model.status(), !model.choices().sourceFile.empty());
    if (model.status().kind() == Kind::uploading) {
        std::optional<double> speed;
        if (auto it = rates_.find(model.id()); it != rates_.end()) speed = it->second.bytesPerSecond(now);
        std::optional<double> left;
        if (speed && *speed > 0)
            left = static_cast<double>(std::max<std::int64_t>(model.fileSize() - model.bytesSent(), 0)) / *speed;
        row.speed = speedText(speed);
        row.timeLeft = timeLeftText(left);
    }
    return row;
}

std::optional<double> UploadList::combinedProgress() const {
    double sum = 0;
    int count = 0;
    for (const auto& model : manager_.activeUploads()) {
        if (!model->status().isActive()) continue;
        sum += model->progress();
        ++count;
    }
    if (count == 0) return std::nullopt;
    return sum / count;
}

std::shared_ptr<UploadTaskModel> UploadList::find(const std::string& id) const {
    for (const auto& model : manager_.activeUploads())
        if (model->id() == id) return model;
    return nullptr;
}

void UploadList::perform(const std::string& id, Action action) {
    switch (action) {
        case Action::pause: manager_.pause(id); break;
        case Action::resume: manager_.resume(id); break;
        case Action::cancel: manager_.cancel(id); break;
        case Action::retry: manager_.retry(id); break;
        case Action::remove: manager_.remove(id); break;
        case Action::openTask:
        case Action::showInFiles: break;
    }
}

bool UploadList::cancelAsks(const std::string& id) const {
    const auto model = find(id);
    return model && (model->bytesSent() > 0 || model->progress() > 0);
}

bool UploadList::removeAsks(const std::string& id) const {
    const auto model = find(id);
    return model && model->status().kind() == Kind::interrupted;
}

bool UploadList::hasFinished() const {
    return std::any_of(manager_.activeUploads().begin(), manager_.activeUploads().end(),
                       [](const auto& m) { return m->status().kind() == Kind::completed; });
}

std::optional<std::string> UploadList::taskId(const std::string& id) const {
    const auto model = find(id);
    if (!model) return std::nullopt;
    return model->status().taskID();
}

std::optional<std::filesystem::path> UploadList::sourceFile(const std::string& id) const {
    const auto model = find(id);
    if (!model || model->choices().sourceFile.empty()) return std::nullopt;
    return model->choices().sourceFile;
}

std::string UploadList::actionName(Action action) {
    switch (action) {
        case Action::pause: return "Pause Upload";
        case Action::resume: return "Resume Upload";
        case Action::cancel: return "Cancel Upload";
        case Action::retry: return "Retry Upload";
        case Action::openTask: return "Open Task";
        case Action::showInFiles: return "Show in Files";
        case Action::remove: return "Remove from List";
    }
    return {};
}

std::vector<Action> UploadList::actionsFor(const UploadTaskStatus& status, bool hasSource) {
    std::vector<Action> actions;
    switch (status.kind()) {
        case Kind::queued:
        case Kind::creatingTask:
        case Kind::uploading:
        case Kind::waitingForNetwork: actions = {Action::pause, Action::cancel}; break;
        // The service may already be assembling the file: only a cancel (which lets an accepted
        // upload complete) is offered.
        case Kind::finalizing: actions = {Action::cancel}; break;
        case Kind::paused: actions = {Action::resume, Action::cancel}; break;
        case Kind::interrupted: actions = {Action::resume, Action::remove}; break;
        case Kind::failed: actions = {Action::retry, Action::remove}; break;
        case Kind::completed: actions = {Action::openTask, Action::remove}; break;
        case Kind::cancelled: actions = {Action::remove}; break;
    }
    // Before the last action, which ends or drops the upload: that one stays at the row's end.
    if (hasSource) actions.insert(actions.end() - 1, Action::showInFiles);
    return actions;
}

std::string UploadList::stateText(const UploadTaskStatus& status) {
    switch (status.kind()) {
        case Kind::queued: return "Waiting to start";
        case Kind::creatingTask: return "Checking…";
        case Kind::uploading: return "Uploading";
        case Kind::finalizing: return "Finishing…";
        case Kind::completed: return "Completed";
        case Kind::failed: return "Failed: " + status.message().value_or("");
        case Kind::cancelled: return "Cancelled";
        case Kind::paused: return "Paused";
        case Kind::interrupted: return "Interrupted";
        case Kind::waitingForNetwork: return "Waiting for network";
    }
    return {};
}

std::string UploadList::choicesText(const UploadChoices& choices) {
    const std::string source = languageName(choices.sourceLanguage);
    if (choices.intent == UploadIntent::subtitle) return displayName(choices.intent) + " · " + source;
    return displayName(choices.intent) + " · " + source + " → " + languageName(choices.targetLanguage);
}

std::string UploadList::amountText(std::int64_t sent, std::int64_t total) {
    return ByteCount::format(sent) + " of " + ByteCount::format(total);
}

std::string UploadList::speedText(std::optional<double> bytesPerSecond) {
    if (!bytesPerSecond) return kUnknown;
    return ByteCount::format(std::llround(std::max(*bytesPerSecond, 0.0))) + "/s";
}

std::string UploadList::timeLeftText(std::optional<double> seconds) {
    // Beyond a day the estimate says nothing useful.
    if (!seconds || !std::isfinite(*seconds) || *seconds > 86400) return kUnknown;
    const long s = std::max(1L, std::lround(*seconds));
    if (s < 60) return std::to_string(s) + " s left";
    const long minutes = (s + 30) / 60;
    if (minutes < 60) return std::to_string(minutes) + " min left";
    return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min left";
}

}  // namespace vhbr
