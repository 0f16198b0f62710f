#pragma once
// Values and the one observable model that the upload engine shares with its views.
//
// Threads: the value types (UploadIntent, LanguageOption, UploadDraft, UploadTaskStatus,
// UploadAlert) are freely copied between threads. UploadTaskModel is read, written and observed
// on the main thread only; no lock guards it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sigc++/sigc++.h>

namespace vhbr {

// What the service is to do with the media. Written to JSON and settings as its raw value.
enum class UploadIntent { subtitle, translate };

std::string rawValue(UploadIntent intent);
std::string displayName(UploadIntent intent);
// Exact, case-sensitive match of a raw value.
std::optional<UploadIntent> uploadIntentFromRaw(std::string_view raw);
// In picker order: subtitle, translate.
const std::vector<UploadIntent>& allUploadIntents();

// One entry of a language picker; identity is id.
struct LanguageOption {
    std::string id;
    std::string name;

    // "auto" first, then nine languages.
    static const std::vector<LanguageOption>& sourceOptions();
    // The same nine languages without "auto".
    static const std::vector<LanguageOption>& targetOptions();

    bool operator==(const LanguageOption&) const = default;
};

// One media file as the upload engine knows it, the same value from validation on: in the
// validator's metadata, the draft, the saved state and the create-task request. A saved state
// keeps no path (its bookmark names the file); the service is told name, size, type and duration.
struct MediaDescription {
    std::filesystem::path path{};
    std::string fileName{};
    std::int64_t fileSize = 0;
    std::string mimeType{};
    std::optional<double> durationHint{};  // seconds

    bool operator==(const MediaDescription&) const = default;
};

// A validated file waiting for the user's choice of intent and languages.
struct UploadDraft {
    std::string id{};
    MediaDescription media{};
    UploadIntent intent = UploadIntent::subtitle;
    std::string sourceLanguage{};
    std::string targetLanguage{};

    bool operator==(const UploadDraft&) const = default;
};

// The state of one upload. Equality compares the kind and its payload.
class UploadTaskStatus {
public:
    enum class Kind {
        queued, creatingTask, uploading, finalizing, completed, failed, cancelled, paused,
        // Saved by an earlier run that a quit or a crash cut off, not resumed yet.
        interrupted,
        // The service cannot be reached: tries again after retryDelay, goes on by itself.
        waitingForNetwork,
    };

    static UploadTaskStatus queued() { return UploadTaskStatus(Kind::queued); }
    static UploadTaskStatus creatingTask() { return UploadTaskStatus(Kind::creatingTask); }
    static UploadTaskStatus uploading() { return UploadTaskStatus(Kind::uploading); }
    static UploadTaskStatus finalizing() { return UploadTaskStatus(Kind::finalizing); }
    static UploadTaskStatus completed(std::string taskID) {
        return UploadTaskStatus(Kind::completed, std::move(taskID));
    }
    static UploadTaskStatus failed(std::string message) {
        return UploadTaskStatus(Kind::failed, std::move(message));
    }
    static UploadTaskStatus cancelled() { return UploadTaskStatus(Kind::cancelled); }
    static UploadTaskStatus paused() { return UploadTaskStatus(Kind::paused); }
    static UploadTaskStatus interrupted() { return UploadTaskStatus(Kind::interrupted); }
    // The service or storage cannot be reached: the upload tries again after retryDelay and goes
    // on by itself once it answers.
    static UploadTaskStatus waitingForNetwork(std::chrono::seconds retryDelay) {
        return UploadTaskStatus(Kind::waitingForNetwork, std::to_string(retryDelay.count()));
    }

    Kind kind() const noexcept { return kind_; }
    // The service task id of a completed upload; nullopt for any other kind.
    std::optional<std::string> taskID() const;
    // The user-facing message of a failed upload; nullopt for any other kind.
    std::optional<std::string> message() const;
    // The pause before the next try of an upload waiting for the network; nullopt for any other kind.
    std::optional<std::chrono::seconds> retryDelay() const;
    // queued, creatingTask, uploading, finalizing and waitingForNetwork count as active (menu,
    // badge, quit check).
    bool isActive() const noexcept;

    bool operator==(const UploadTaskStatus&) const = default;

private:
    explicit UploadTaskStatus(Kind kind, std::string payload = {})
        : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    std::string payload_;
};

// What an upload was started with, as its row in the list shows it.
struct UploadChoices {
    UploadIntent intent = UploadIntent::subtitle;
    std::string sourceLanguage{};
    std::string targetLanguage{};
    std::filesystem::path sourceFile{};  // empty when not known

    bool operator==(const UploadChoices&) const = default;
};

// The live progress record of one started upload. Main thread only.
class UploadTaskModel {
public:
    UploadTaskModel(std::string clientRequestId, std::string fileName, std::int64_t fileSize);
    UploadTaskModel(const UploadTaskModel&) = delete;
    UploadTaskModel& operator=(const UploadTaskModel&) = delete;

    const std::string& id() const noexcept { return id_; }
    const std::string& clientRequestId() const noexcept { return clientRequestId_; }
    const std::string& fileName() const noexcept { return fileName_; }
    std::int64_t fileSize() const noexcept { return fileSize_; }
    const std::optional<std::string>& taskID() const noexcept { return taskID_; }
    double progress() const noexcept { return progress_; }
    // The bytes the storage has acknowledged.
    std::int64_t bytesSent() const noexcept { return bytesSent_; }
    const UploadTaskStatus& status() const noexcept { return status_; }
    const UploadChoices& choices() const noexcept { return choices_; }

    // Each setter stores the value, then emits changed, so observers read the new value.
    void setTaskID(std::optional<std::string> taskID);
    void setProgress(double progress);
    void setProgress(double progress, std::int64_t bytesSent);
    void setStatus(UploadTaskStatus status);
    void setChoices(UploadChoices choices);

    // Emitted on the main thread after every set of taskID, progress or status.
    sigc::signal<void()> changed;

private:
    std::string id_;
    std::string clientRequestId_;
    std::string fileName_;
    std::int64_t fileSize_;
    std::optional<std::string> taskID_;
    double progress_ = 0.0;
    std::int64_t bytesSent_ = 0;
    UploadTaskStatus status_ = UploadTaskStatus::queued();
    UploadChoices choices_;
};

// A message about an upload that could not start or go on.
struct UploadAlert {
    std::string id;
    std::string title;
    std::string message;

    // An alert with a new random id.
    static UploadAlert make(std::string title, std::string message);

    bool operator==(const UploadAlert&) const = default;
};

// The source of bearer tokens for the service API (the app model, which asks the web app).
// idToken() is called from worker threads; the implementation answers on the main thread and
// fulfils the future there, delivering failures as exceptions through the future.
class TokenProvider {
public:
    virtual ~TokenProvider() = default;
    virtual std::future<std::string> idToken() = 0;
};

// The engine's way into the web shell. Main thread only.
class WebNavigator {
public:
    virtual ~WebNavigator() = default;
    // Brings the application and its main window to the front.
    virtual void openMainWindow() = 0;
    // Shows the service task with this id in the web shell.
    virtual void navigateToTask(const std::string& id) = 0;
};

}  // namespace vhbr
