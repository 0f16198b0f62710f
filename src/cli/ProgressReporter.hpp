#pragma once
// Shows the uploads of one CLI run: a live bar per upload on a terminal, plain lines otherwise.
// Main thread only (it observes the task models).

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "Upload/UploadModels.hpp"

namespace vhbr::cli {

class ProgressReporter {
public:
    ProgressReporter(std::FILE* out, std::FILE* err, bool live) : out_(out), err_(err), live_(live) {}

    void track(const std::shared_ptr<UploadTaskModel>& model);
    // True once every tracked upload has ended (completed, failed or cancelled).
    bool allFinished() const;
    bool allCompleted() const;

private:
    struct Entry {
        std::shared_ptr<UploadTaskModel> model;
        std::optional<std::chrono::steady_clock::time_point> uploadingSince;
        double progressAtStart = 0;
        long long lastPercent = -1;
        UploadTaskStatus lastStatus = UploadTaskStatus::queued();
        bool finished = false;
    };

    void changed(Entry& entry);
    void finish(Entry& entry);
    void clearBars();
    void drawBars();
    std::string describe(const Entry& entry) const;

    std::FILE* out_;
    std::FILE* err_;
    bool live_;
    int barLines_ = 0;
    std::vector<std::unique_ptr<Entry>> entries_;
};

}  // namespace vhbr::cli
