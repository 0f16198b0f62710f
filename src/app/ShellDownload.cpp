#include "ShellDownload.hpp"

#include <exception>
#include <string_view>

#include "Support/Percent.hpp"

namespace vhbr {

namespace {

// The length in bytes of the UTF-8 sequence at text[i], or 0 when it is not valid UTF-8
// (truncated, overlong, a surrogate or beyond U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80         ? 1
                               : (lead >> 5) == 6  ? 2
                               : (lead >> 4) == 14 ? 3
                               : (lead >> 3) == 30 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size()) return 0;
    codePoint = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

// Characters a file name must not carry: separators, control characters (which could rewrite a
// terminal listing) and the marks that change the writing direction (which make "gnp.exe" look
// like "exe.png").
bool isUnwanted(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == '/' || c == '\\' || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The bytes of name up to at most limit, cut between two characters.
std::string_view utf8Prefix(std::string_view name, std::size_t limit) {
    if (name.size() <= limit) return name;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return name.substr(0, end);
}

}  // namespace

std::string ShellDownload::proposedFileName(std::string_view suggestion) {
    // The last path component: a server's "a/b.srt" (or "a\\b.srt") names "b.srt".
    while (!suggestion.empty() && (suggestion.back() == '/' || suggestion.back() == '\\'))
        suggestion.remove_suffix(1);
    const auto separator = suggestion.find_last_of("/\\");
    if (separator != std::string_view::npos) suggestion.remove_prefix(separator + 1);

    std::string name;
    for (std::size_t i = 0; i < suggestion.size();) {
        char32_t c = 0;
        const std::size_t length = utf8SequenceLength(suggestion, i, c);
        if (length == 0) {
            ++i;  // not UTF-8: the dialog would refuse the whole name
            continue;
        }
        if (!isUnwanted(c)) name.append(suggestion.substr(i, length));
        i += length;
    }
    // Never hidden (nor "." or ".."), and no blanks around the name.
    const auto first = name.find_first_not_of(". ");
    name.erase(0, first == std::string::npos ? name.size() : first);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty()) return "download";

    // One file name is at most 255 bytes; a longer one loses the end of its stem, not its extension.
    constexpr std::size_t kMaxName = 255;
    if (name.size() <= kMaxName) return name;
    const auto dot = name.rfind('.');
    const std::string_view extension = dot != std::string::npos && name.size() - dot <= 16
                                           ? std::string_view(name).substr(dot)
                                           : std::string_view();
    std::string shortened(utf8Prefix(name, kMaxName - extension.size()));
    while (!shortened.empty() && shortened.back() == ' ') shortened.pop_back();
    return shortened + std::string(extension);
}

ShellDownload::ShellDownload(DownloadTransfer& transfer, DownloadUI& ui, std::function<void()> onEnd,
                             std::optional<std::filesystem::path> downloadsFolder)
    : transfer_(transfer), ui_(ui), onEnd_(std::move(onEnd)), downloadsFolder_(std::move(downloadsFolder)) {}

void ShellDownload::decideDestination(const std::string& suggestedFilename) {
    if (phase_ != Phase::starting) return;
    if (cancelling_) {
        transfer_.setDestination(std::nullopt);
        return;
    }
    phase_ = Phase::awaitingDestination;
    ui_.askDestination({"Save Download", proposedFileName(suggestedFilename), downloadsFolder_});
}

void ShellDownload::destinationChosen(const std::optional<std::filesystem::path>& destination) {
    if (phase_ != Phase::awaitingDestination) return;
    // Refusing a destination stops the web view's download, which may report that at once.
    const auto alive = alive_;
    if (!destination || cancelling_) {
        transfer_.setDestination(std::nullopt);
        if (*alive) end();
        return;
    }
    try {
        file_.emplace(*destination);
    } catch (const std::exception& e) {
        const std::string description = e.what();
        transfer_.setDestination(std::nullopt);
        if (*alive) fail(description);
        return;
    }
    phase_ = Phase::transferring;
    ui_.showProgress({"Downloading " + destination->filename().string(), "Saving to " + destination->string(),
                      "Cancel Download"});
    transfer_.setDestination(file_->stagedFile());
}

void ShellDownload::transferFinished() {
    if (phase_ == Phase::ended || cancelling_ || !file_) return;
    try {
        file_->finish();
    } catch (const std::exception& e) {
        fail(e.what());
        return;
    }
    ui_.closeProgress();
    ui_.showAlert(savedAlert(file_->destination()));
    end();
}

void ShellDownload::transferFailed(bool cancelled, const std::string& description) {
    if (phase_ == Phase::ended) return;
    if (cancelling_ || cancelled) {
        end();
        return;
    }
    fail(description);
}

void ShellDownload::cancelDownload() {
    if (phase_ == Phase::ended || cancelling_) return;
    cancelling_ = true;
    const auto alive = alive_;
    // A save dialog closed this way answers "no destination", which ends the download.
    if (phase_ == Phase::awaitingDestination) ui_.cancelDestinationQuestion();
    if (!*alive || phase_ == Phase::ended) return;
    // The web view confirms with a cancelled failure, which ends the download.
    transfer_.cancel();
}

void ShellDownload::refreshProgress() {
    if (phase_ != Phase::transferring) return;
    ui_.updateProgress(progressDisplay(transfer_.progress()));
}

ProgressDisplay ShellDownload::progressDisplay(const DownloadProgress& progress) {
    if (progress.totalUnitCount < 1) return {true, progress.fractionCompleted, "Downloading…"};
    return {false, progress.fractionCompleted,
            std::to_string(wholePercent(progress.fractionCompleted)) + "% downloaded"};
}

DownloadAlert ShellDownload::failureAlert(const std::string& description) {
    return {"Download could not be saved", description, {"OK"}, std::nullopt};
}

DownloadAlert ShellDownload::savedAlert(const std::filesystem::path& destination) {
    return {"Download saved", destination.string(), {"Show in Files", "Done"}, destination};
}

void ShellDownload::fail(const std::string& description) {
    ui_.closeProgress();
    ui_.showAlert(failureAlert(description));
    end();
}

void ShellDownload::end() {
    if (phase_ == Phase::ended) return;
    phase_ = Phase::ended;
    ui_.closeProgress();
    if (file_) file_->cleanup();
    // Last step: the owner may destroy this object inside onEnd.
    auto onEnd = std::move(onEnd_);
    onEnd_ = nullptr;
    if (onEnd) onEnd();
}

std::filesystem::path ShellDownload::saveStartFolder(const std::optional<std::filesystem::path>& xdgDownloads,
                                                     const std::filesystem::path& home) {
    std::error_code error;
    if (xdgDownloads && std::filesystem::is_directory(*xdgDownloads, error)) return *xdgDownloads;
    if (std::filesystem::is_directory(home / "Downloads", error)) return home / "Downloads";
    return home;
}

}  // namespace vhbr
