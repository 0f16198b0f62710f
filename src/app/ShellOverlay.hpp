#pragma once
// What the main window shows over the web view, as a function of the session state. The web view
// is always there underneath (so the page keeps loading); at most one overlay is on top: the
// sign-in overlay while the web app reports no user, else the load-failure overlay while a load
// failed, else none.
//
// Threads: pure; any thread.

#include <optional>
#include <string>

#include "ShellState.hpp"

namespace vhbr {

struct ShellOverlay {
    enum class Kind { signIn, loadError };
    enum class Action { startLogin, loadHome };  // what the button calls on AppModel

    Kind kind = Kind::signIn;
    std::string title;  // "Sign in to Velvetharbor" / "Velvetharbor could not load"
    std::string message;
    std::string buttonLabel;    // "Sign in", "Waiting for Browser" or "Retry"
    bool buttonEnabled = true;  // also whether Return presses it
    bool showsSpinner = false;
    Action action = Action::startLogin;
    // The sign-in's approval page, shown selectable with "Copy Link" while the sign-in waits.
    std::optional<std::string> link;
    bool showsCancel = false;  // "Cancel": AppModel::cancelLogin(), while a sign-in runs

    bool operator==(const ShellOverlay&) const = default;

    // The top overlay for the state, or none (unknown or signed in, and no load error).
    static std::optional<ShellOverlay> forState(const ShellAuthState& authState,
                                                const LoginStatus& loginStatus,
                                                const std::optional<ShellNavigationError>& shellError);
};

}  // namespace vhbr
