#include "Upload/UploadModels.hpp"

#include "Support/Uuid.hpp"

namespace vhbr {

std::string rawValue(UploadIntent intent) {
    return intent == UploadIntent::subtitle ? "subtitle" : "translate";
}

std::string displayName(UploadIntent intent) {
    return intent == UploadIntent::subtitle ? "Subtitle" : "Translate";
}

std::optional<UploadIntent> uploadIntentFromRaw(std::string_view raw) {
    for (UploadIntent intent : allUploadIntents())
        if (raw == rawValue(intent)) return intent;
    return std::nullopt;
}

const std::vector<UploadIntent>& allUploadIntents() {
    static const std::vector<UploadIntent> all{UploadIntent::subtitle, UploadIntent::translate};
    return all;
}

const std::vector<LanguageOption>& LanguageOption::sourceOptions() {
    static const std::vector<LanguageOption> options{
        {"auto", "Auto"},  {"en", "English"},    {"es", "Spanish"},  {"fr", "French"}, {"de", "German"},
        {"it", "Italian"}, {"pt", "Portuguese"}, {"ja", "Japanese"}, {"ko", "Korean"}, {"zh", "Chinese"},
    };
    return options;
}

const std::vector<LanguageOption>& LanguageOption::targetOptions() {
    static const std::vector<LanguageOption> options(sourceOptions().begin() + 1, sourceOptions().end());
    return options;
}

std::optional<std::string> UploadTaskStatus::taskID() const {
    if (kind_ != Kind::completed) return std::nullopt;
    return payload_;
}

std::optional<std::string> UploadTaskStatus::message() const {
    if (kind_ != Kind::failed) return std::nullopt;
    return payload_;
}

std::optional<std::chrono::seconds> UploadTaskStatus::retryDelay() const {
    if (kind_ != Kind::waitingForNetwork) return std::nullopt;
    return std::chrono::seconds(std::stoll(payload_));
}

bool UploadTaskStatus::isActive() const noexcept {
    return kind_ == Kind::queued || kind_ == Kind::creatingTask || kind_ == Kind::uploading ||
           kind_ == Kind::finalizing || kind_ == Kind::waitingForNetwork;
}

UploadTaskModel::UploadTaskModel(std::string clientRequestId, std::string fileName, std::int64_t fileSize)
    : id_(makeUuid()),
      clientRequestId_(std::move(clientRequestId)),
      fileName_(std::move(fileName)),
      fileSize_(fileSize) {}

void UploadTaskModel::setTaskID(std::optional<std::string> taskID) {
    taskID_ = std::move(taskID);
    changed.emit();
}

void UploadTaskModel::setProgress(double progress) {
    progress_ = progress;
    changed.emit();
}

void UploadTaskModel::setProgress(double progress, std::int64_t bytesSent) {
    progress_ = progress;
    bytesSent_ = bytesSent;
    changed.emit();
}

void UploadTaskModel::setChoices(UploadChoices choices) {
    choices_ = std::move(choices);
    changed.emit();
}

void UploadTaskModel::setStatus(UploadTaskStatus status) {
    status_ = std::move(status);
    changed.emit();
}

UploadAlert UploadAlert::make(std::string title, std::string message) {
    return UploadAlert{makeUuid(), std::move(title), std::move(message)};
}

}  // namespace vhbr
