#pragma once
// The window's list of uploads: every upload of this run and every saved one, each as a row of
// texts and actions ready to draw, with its speed and time left smoothed over a few seconds. The
// rows are the upload engine's own models, which the tray and the launcher read too, so all three
// agree. The front end redraws on `changed`, at most a few times a second.
//
// Threads: main thread only (it reads the upload models).

#include <sigc++/sigc++.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TransferRate.hpp"
#include "Upload/UploadManager.hpp"

namespace vhbr {

struct UploadRow {
    enum class Action { pause, resume, cancel, retry, openTask, showInFiles, remove };

    std::string id;        // the upload's model id
    std::string fileName;
    std::string choices;   // "Translate · English → German"
    double fraction = 0;   // the progress bar
    std::string amount;    // "120 MB of 1.5 GB"
    std::string speed;     // "4.2 MB/s", "—" until known; empty unless uploading
    std::string timeLeft;  // "3 min left", "—" until known; empty unless uploading
    std::string state;     // "Uploading", "Failed: <the error's text>", …
    std::vector<Action> actions;  // in the row's order; the first is its main button

    bool operator==(const UploadRow&) const = default;
};

class UploadList {
public:
    using Clock = TransferRate::Clock;

    explicit UploadList(UploadManager& manager, std::function<Clock::time_point()> clock = Clock::now);
    ~UploadList();
    UploadList(const UploadList&) = delete;
    UploadList& operator=(const UploadList&) = delete;

    std::vector<UploadRow> rows() const;
    bool empty() const { return manager_.activeUploads().empty(); }
    // The mean progress of the uploads under way, for the Uploads button; none when none is.
    std::optional<double> combinedProgress() const;

    // The engine's part of an action: pause, resume, cancel, retry and remove (after the
    // questions the front end asks). openTask and showInFiles are the front end's.
    void perform(const std::string& id, UploadRow::Action action);
    void clearFinished() { manager_.clearFinished(); }
    // True when cancelling the upload throws away what was sent, so the user is asked first.
    bool cancelAsks(const std::string& id) const;
    // True when removing the upload discards its saved state (an interrupted one), so the user is
    // asked first.
    bool removeAsks(const std::string& id) const;
    // True when "Clear Finished" has a row to take off.
    bool hasFinished() const;
    // The task of a completed upload, and the file an upload reads.
    std::optional<std::string> taskId(const std::string& id) const;
    std::optional<std::filesystem::path> sourceFile(const std::string& id) const;

    // Any row or the list itself changed.
    sigc::signal<void()> changed;

    // The button's accessible name, exactly: "Pause Upload", …, "Remove from List".
    static std::string actionName(UploadRow::Action action);
    static std::vector<UploadRow::Action> actionsFor(const UploadTaskStatus& status, bool hasSource);
    static std::string stateText(const UploadTaskStatus& status);
    static std::string choicesText(const UploadChoices& choices);
    static std::string amountText(std::int64_t sent, std::int64_t total);   // "120.0 MB of 1.5 GB"
    static std::string speedText(std::optional<double> bytesPerSecond);     // "4.2 MB/s" or "—"
    static std::string timeLeftText(std::optional<double> seconds);         // "3 min left" or "—"

private:
    void watch();
    void sample(const UploadTaskModel& model);
    std::shared_ptr<UploadTaskModel> find(const std::string& id) const;
    UploadRow rowOf(const UploadTaskModel& model, Clock::time_point now) const;

    UploadManager& manager_;
    std::function<Clock::time_point()> clock_;
    std::map<std::string, TransferRate> rates_;  // by model id
    sigc::connection listConnection_;
    std::vector<sigc::connection> rowConnections_;
};

}  // namespace vhbr
