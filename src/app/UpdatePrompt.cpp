#include "UpdatePrompt.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

#include "Support/ByteCount.hpp"

namespace vhbr {

namespace {

using Phase = UpdateChecker::Phase;
using Action = UpdatePrompt::Action;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

void appendUtf8(std::string& out, unsigned long code) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Decodes the entity starting at text[at] == '&' into out; returns how many characters it took
// (0 when it is no entity we know, and the '&' stays as it is).
std::size_t decodeEntity(std::string_view text, std::size_t at, std::string& out) {
    const auto end = text.find(';', at);
    if (end == std::string_view::npos || end - at > 10) return 0;
    const std::string name = lower(text.substr(at + 1, end - at - 1));
    static constexpr std::array<std::pair<const char*, unsigned long>, 9> kNamed{{{"amp", '&'},
                                                                                  {"lt", '<'},
                                                                                  {"gt", '>'},
                                                                                  {"quot", '"'},
                                                                                  {"apos", '\''},
                                                                                  {"nbsp", 0xA0},
                                                                                  {"ndash", 0x2013},
                                                                                  {"mdash", 0x2014},
                                                                                  {"hellip", 0x2026}}};
    for (const auto& [entity, code] : kNamed) {
        if (name == entity) {
            appendUtf8(out, code);
            return end - at + 1;
        }
    }
    if (name.size() < 2 || name[0] != '#') return 0;
    const bool hex = name[1] == 'x';
    const std::string digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 7 ||
        !std::all_of(digits.begin(), digits.end(),
                     [hex](unsigned char c) { return hex ? std::isxdigit(c) : std::isdigit(c); }))
        return 0;
    appendUtf8(out, std::stoul(digits, nullptr, hex ? 16 : 10));
    return end - at + 1;
}

// Collects text, turning runs of white space into one space and keeping the breaks that tags ask for.
class TextBuilder {
public:
    void text(char c) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            pendingSpace_ = !out_.empty() && out_.back() != '\n' && out_.back() != ' ';
            return;
        }
        if (pendingSpace_) out_ += ' ';
        pendingSpace_ = false;
        out_ += c;
    }
    void raw(const std::string& s) {
        for (char c : s) text(c);
    }
    // At most `lines` line breaks in a row (2: a blank line between paragraphs).
    void lineBreak(int lines) {
        pendingSpace_ = false;
        while (!out_.empty() && out_.back() == ' ') out_.pop_back();
        if (out_.empty()) return;
        int have = 0;
        for (auto it = out_.rbegin(); it != out_.rend() && *it == '\n'; ++it) ++have;
        for (; have < lines; ++have) out_ += '\n';
    }
    void bullet() {
        lineBreak(1);
        out_ += "• ";
    }
    std::string finish() {
        while (!out_.empty() && (out_.back() == '\n' || out_.back() == ' ')) out_.pop_back();
        return out_;
    }

private:
    std::string out_;
    bool pendingSpace_ = false;
};

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

bool isBlockTag(const std::string& name) {
    static constexpr std::array<const char*, 16> kBlocks{"p",     "div", "h1",      "h2", "h3",         "h4",
                                                         "h5",    "h6",  "ul",      "ol", "blockquote", "pre",
                                                         "table", "tr",  "section", "hr"};
    return std::any_of(kBlocks.begin(), kBlocks.end(), [&](const char* b) { return name == b; });
}

UpdatePrompt busy(std::string title) {
    UpdatePrompt p;
    p.title = std::move(title);
    p.showsSpinner = true;
    return p;
}

std::string versionOf(const UpdateChecker::State& state) {
    return state.item ? state.item->shortVersionString : std::string();
}

UpdatePrompt availablePrompt(const UpdateChecker::State& state, const std::string& running) {
    UpdatePrompt p;
    p.title = "A new version of Velvetharbor is available!";
    p.message = "Velvetharbor " + versionOf(state) + " is now available — you have " + running + ".";
    if (state.canInstall) {
        p.message += " Would you like to install it now?";
        p.buttons.push_back({"Install Update", Action::install});
    } else {
        p.message += " This copy was not installed from a package, so it cannot update itself.";
    }
    p.buttons.push_back({"Remind Me Later", Action::later});
    p.buttons.push_back({"Skip This Version", Action::skip});
    if (state.item) p.notes = releaseNotesText(state.item->releaseNotes);
    p.closeAction = Action::later;
    return p;
}

UpdatePrompt downloadingPrompt(const UpdateChecker::State& state) {
    UpdatePrompt p;
    p.title = "Downloading Velvetharbor " + versionOf(state) + "…";
    const double fraction =
        state.expected > 0 ? static_cast<double>(state.received) / static_cast<double>(state.expected) : 0.0;
    p.progress = std::clamp(fraction, 0.0, 1.0);
    p.progressText = ByteCount::format(static_cast<std::int64_t>(state.received)) + " of " +
                     ByteCount::format(static_cast<std::int64_t>(state.expected));
    p.buttons.push_back({"Cancel", Action::cancel});
    p.closeAction = Action::cancel;
    return p;
}

}  // namespace

std::optional<UpdatePrompt> UpdatePrompt::forState(const UpdateChecker::State& state,
                                                   const std::string& runningShortVersion) {
    UpdatePrompt p;
    switch (state.phase) {
        case Phase::idle:
            return std::nullopt;
        case Phase::checking:
            p = busy("Checking for updates…");
            p.buttons.push_back({"Cancel", Action::cancel});
            p.closeAction = Action::cancel;
            return p;
        case Phase::upToDate:
            p.title = "You're up to date.";
            p.message =
                "Velvetharbor " + state.upToDateVersion + " is currently the newest version available.";
            p.buttons.push_back({"OK", Action::later});
            p.closeAction = Action::later;
            return p;
        case Phase::available:
            return availablePrompt(state, runningShortVersion);
        case Phase::downloading:
            return downloadingPrompt(state);
        case Phase::verifying:
            return busy("Verifying the update…");
        case Phase::installing:
            return busy("Installing the update…");
        case Phase::installed:
            p.title = "Velvetharbor " + versionOf(state) + " is installed.";
            p.message = "Relaunch Velvetharbor to start using the new version.";
            p.buttons = {{"Relaunch", Action::relaunch}, {"Later", Action::later}};
            p.closeAction = Action::later;
            return p;
        case Phase::readyToOpen:
            p.title = "Velvetharbor " + versionOf(state) + " is ready to install.";
            p.message =
                "The verified package opens in your software installer, which finishes the installation.";
            p.buttons = {{"Done", Action::later}, {"Open Package Again", Action::openPackage}};
            p.closeAction = Action::later;
            return p;
        case Phase::failed:
            p.title = state.item ? "Velvetharbor " + versionOf(state) + " could not be installed."
                                 : "Could not check for updates.";
            p.message = state.message;
            p.buttons.push_back({"OK", Action::later});
            p.closeAction = Action::later;
            return p;
    }
    return std::nullopt;
}

std::string releaseNotesText(std::string_view notes) {
    // Plain-text notes keep their own lines.
    if (notes.find('<') == std::string_view::npos && notes.find('&') == std::string_view::npos)
        return trimmed(notes);
    TextBuilder out;
    std::size_t i = 0;
    while (i < notes.size()) {
        const char c = notes[i];
        if (c == '&') {
            std::string decoded;
            const std::size_t used = decodeEntity(notes, i, decoded);
            if (used > 0) {
                out.raw(decoded);
                i += used;
            } else {
                out.text(c);
                ++i;
            }
            continue;
        }
        if (c != '<') {
            out.text(c);
            ++i;
            continue;
        }
        if (notes.substr(i, 4) == "<!--") {
            const auto end = notes.find("-->", i + 4);
            i = end == std::string_view::npos ? notes.size() : end + 3;
            continue;
        }
        const auto end = notes.find('>', i);
        if (end == std::string_view::npos) break;  // an unfinished tag: drop the rest
        std::string_view tag = notes.substr(i + 1, end - i - 1);
        const bool closing = !tag.empty() && tag.front() == '/';
        if (closing) tag.remove_prefix(1);
        const auto nameEnd = tag.find_first_of(" \t\r\n/");
        const std::string name = lower(tag.substr(0, nameEnd));
        i = end + 1;
        if (!closing && (name == "script" || name == "style" || name == "head" || name == "title")) {
            // Their content is code or metadata, never text to read.
            const auto close = lower(notes.substr(i)).find("</" + name);
            if (close == std::string::npos) break;
            i += close;
            const auto closeEnd = notes.find('>', i);
            i = closeEnd == std::string_view::npos ? notes.size() : closeEnd + 1;
            continue;
        }
        if (name == "br") {
            out.lineBreak(1);
        } else if (name == "li") {
            if (!closing) out.bullet();
        } else if (isBlockTag(name)) {
            out.lineBreak(name == "tr" ? 1 : 2);
        }
    }
    return out.finish();
}

}  // namespace vhbr
