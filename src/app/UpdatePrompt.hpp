#pragma once
// What the "Check for Updates…" dialog shows for a state of the update checker: its headline and
// message, the release notes as plain text, a spinner or a progress bar, and the buttons with
// the checker operation each one calls. The front end draws it and redraws on every change.
//
// Threads: pure; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Update/UpdateChecker.hpp"

namespace vhbr {

struct UpdatePrompt {
    enum class Action {
        install,      // UpdateChecker::installUpdate
        skip,         // UpdateChecker::skipThisVersion
        later,        // UpdateChecker::remindMeLater: closes the dialog, nothing remembered
        cancel,       // UpdateChecker::cancel
        relaunch,     // quit and start state.relaunchProgram
        openPackage,  // hand state.package to the desktop's software installer
    };
    struct Button {
        std::string label;
        Action action;
        bool operator==(const Button&) const = default;
    };

    std::string title;
    std::string message;
    std::string notes;  // available: the release notes as plain text; empty when there are none
    bool showsSpinner = false;
    std::optional<double> progress;  // downloading: the fraction received (0 to 1)
    std::string progressText;        // downloading: "1.2 MB of 3.4 MB"
    // In order of importance: the first is the default button (Return).
    std::vector<Button> buttons;
    // Closing the window (its close button, Escape) does this; absent while it cannot be
    // interrupted (verifying, installing), when the window stays.
    std::optional<Action> closeAction;

    // Nothing to show while the checker is idle.
    static std::optional<UpdatePrompt> forState(const UpdateChecker::State& state,
                                                const std::string& runningShortVersion);
};

// Release notes (HTML, or plain text) as plain text for a label: scripts, styles and comments
// dropped, tags removed, paragraphs and line breaks kept, list items bulleted, entities decoded.
// Nothing of the notes is ever run or followed.
std::string releaseNotesText(std::string_view notes);

}  // namespace vhbr
