#include "ProgressReporter.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "Support/ByteCount.hpp"
#include "Support/Percent.hpp"

namespace vhbr::cli {

namespace {

using Kind = UploadTaskStatus::Kind;

const char* statusWord(Kind kind) {
    switch (kind) {
        case Kind::queued: return "queued";
        case Kind::creatingTask: return "creating task";
        case Kind::uploading: return "uploading";
        case Kind::finalizing: return "finalizing";
        case Kind::completed: return "completed";
        case Kind::failed: return "failed";
        case Kind::cancelled: return "cancelled";
        case Kind::paused: return "paused";
        case Kind::interrupted: return "interrupted";
        case Kind::waitingForNetwork: return "waiting for network";
    }
    return "";
}

bool isFinal(Kind kind) { return kind == Kind::completed || kind == Kind::failed || kind == Kind::cancelled; }

std::string formatDuration(double seconds) {
    const long s = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

void ProgressReporter::track(const std::shared_ptr<UploadTaskModel>& model) {
    auto fresh = std::make_unique<Entry>();
    fresh->model = model;
    entries_.push_back(std::move(fresh));
    Entry& entry = *entries_.back();
    model->changed.connect([this, &entry] { changed(entry); });
    changed(entry);
}

bool ProgressReporter::allFinished() const {
    return std::all_of(entries_.begin(), entries_.end(), [](const auto& e) { return e->finished; });
}

bool ProgressReporter::allCompleted() const {
    return std::all_of(entries_.begin(), entries_.end(),
                       [](const auto& e) { return e->model->status().kind() == Kind::completed; });
}

std::string ProgressReporter::describe(const Entry& entry) const {
    const auto& model = *entry.model;
    std::string text = model.fileName() + "  " + std::to_string(wholePercent(model.progress())) + "%  " +
                       statusWord(model.status().kind());
    if (const auto delay = model.status().retryDelay())
        return text + ", next try in " + std::to_string(delay->count()) + " s";
    if (!entry.uploadingSince) return text;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - *entry.uploadingSince).count();
    const double done = (model.progress() - entry.progressAtStart) * static_cast<double>(model.fileSize());
    if (elapsed < 0.5 || done <= 0) return text;
    const double rate = done / elapsed;
    const double remaining = (1.0 - model.progress()) * static_cast<double>(model.fileSize());
    return text + "  " + ByteCount::format(std::llround(rate)) + "/s  ETA " +
           formatDuration(remaining / rate);
}

void ProgressReporter::changed(Entry& entry) {
    if (entry.finished) return;
    const auto& model = *entry.model;
    const Kind kind = model.status().kind();
    if (kind == Kind::uploading && !entry.uploadingSince) {
        entry.uploadingSince = std::chrono::steady_clock::now();
        entry.progressAtStart = model.progress();
    }
    if (isFinal(kind)) {
        finish(entry);
        return;
    }
    const auto percent = wholePercent(model.progress());
    if (percent == entry.lastPercent && model.status() == entry.lastStatus) return;
    entry.lastPercent = percent;
    entry.lastStatus = model.status();
    if (live_) {
        clearBars();
        drawBars();
    } else {
        std::fprintf(out_, "%s\n", describe(entry).c_str());
        std::fflush(out_);
    }
}

void ProgressReporter::finish(Entry& entry) {
    entry.finished = true;
    if (live_) clearBars();
    const auto& status = entry.model->status();
    if (status.kind() == Kind::completed) {
        std::fprintf(out_, "%s\ncompleted %s\n", describe(entry).c_str(), status.taskID()->c_str());
    } else if (status.kind() == Kind::failed) {
        std::fprintf(err_, "Upload failed: %s\n", status.message()->c_str());
    } else {
        std::fprintf(err_, "Upload cancelled: %s\n", entry.model->fileName().c_str());
    }
    std::fflush(out_);
    std::fflush(err_);
    if (live_) drawBars();
}

void ProgressReporter::clearBars() {
    for (; barLines_ > 0; --barLines_) std::fputs("\x1b[1A\x1b[2K", out_);
}

void ProgressReporter::drawBars() {
    constexpr int kWidth = 30;
    for (const auto& entry : entries_) {
        if (entry->finished) continue;
        const int filled = static_cast<int>(entry->model->progress() * kWidth);
        std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
        std::fprintf(out_, "%s%s\n", bar.c_str(), describe(*entry).c_str());
        ++barLines_;
    }
    std::fflush(out_);
}

}  // namespace vhbr::cli
