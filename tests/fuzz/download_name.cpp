// A download's suggested file name (the server's Content-Disposition header, or a page's
// download attribute), as the web view hands it to the download, to the name the save dialog
// proposes in the chosen folder.
//
// Invariants: the proposed name is one plain file name: not empty, at most 255 bytes, valid UTF-8
// (the dialog takes nothing else), without a slash, NUL, control or direction-changing character,
// not hidden and not "." or ".."; in any folder it names a file directly inside that folder; and
// proposing again from a proposed name keeps it.

#include <filesystem>

#include "FuzzCheck.hpp"
#include "ShellDownload.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

struct NoTransfer : DownloadTransfer {
    void setDestination(const std::optional<std::filesystem::path>&) override {}
    void cancel() override {}
    DownloadProgress progress() const override { return {}; }
};

struct AskingUI : DownloadUI {
    void askDestination(const SaveQuestion& question) override { asked = question.suggestedName; }
    void cancelDestinationQuestion() override {}
    void showProgress(const ProgressPanel&) override {}
    void updateProgress(const ProgressDisplay&) override {}
    void closeProgress() override {}
    void showAlert(const DownloadAlert&) override {}
    std::optional<std::string> asked;
};

// The code points of a valid UTF-8 text, or nothing (overlong forms and surrogates are invalid).
std::optional<std::vector<char32_t>> codePoints(std::string_view text) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return std::nullopt;
        char32_t cp = length == 1 ? c : c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        out.push_back(cp);
        i += length;
    }
    return out;
}

bool isForbidden(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == '/' || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F;
}

std::string proposedFor(const std::string& suggestion) {
    NoTransfer transfer;
    AskingUI ui;
    ShellDownload download(
        transfer, ui, [] {}, std::filesystem::path("/home/user/Downloads"));
    fuzz::succeeds<std::bad_alloc>([&] { download.decideDestination(suggestion); }, "decideDestination");
    check(ui.asked.has_value(), "a download asked no destination");
    return *ui.asked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string suggestion(fuzz::asText(data, size));
    const std::string name = proposedFor(suggestion);

    check(!name.empty() && name.size() <= 255, "a proposed name that no file system takes", name);
    const auto points = codePoints(name);
    check(points.has_value(), "a proposed name that is not UTF-8", name);
    for (const char32_t cp : *points)
        check(!isForbidden(cp), "a forbidden character in a proposed name", name);
    check(name.front() != '.', "a hidden (or dot) name proposed", name);
    for (const std::filesystem::path folder : {"/home/user/Downloads", "/"}) {
        const auto file = (folder / name).lexically_normal();
        check(file.parent_path() == folder && file.filename() == name, "a proposed name leaves its folder",
              name);
    }
    check(proposedFor(name) == name, "a proposed name is not stable", name);
    return 0;
}
