#pragma once
// The session values that AppModel publishes and the window draws: what the web app last said
// about its user, how a desktop sign-in is going, and why the web app could not be loaded.
//
// Threads: plain values, copied freely.

#include <optional>
#include <string>

namespace vhbr {

// What the web app last reported. Starts unknown.
struct ShellAuthState {
    enum class Kind { unknown, signedOut, signedIn };
    Kind kind = Kind::unknown;
    std::optional<std::string> uid;    // signedIn only
    std::optional<std::string> email;  // signedIn only

    static ShellAuthState unknown() { return {}; }
    static ShellAuthState signedOut() { return {Kind::signedOut, std::nullopt, std::nullopt}; }
    static ShellAuthState signedIn(std::optional<std::string> uid, std::optional<std::string> email) {
        return {Kind::signedIn, std::move(uid), std::move(email)};
    }

    bool operator==(const ShellAuthState&) const = default;
};

// The desktop sign-in's progress. Starts idle.
struct LoginStatus {
    enum class Kind { idle, working, failed };
    Kind kind = Kind::idle;
    std::string message;  // the phase while working, the error's description when failed
    // While working: the approval page, once the browser was asked to open it. The user can open
    // it elsewhere when no browser came up (a minimal desktop, another machine's browser).
    std::optional<std::string> link;

    static LoginStatus idle() { return {}; }
    static LoginStatus working(std::string message, std::optional<std::string> link = std::nullopt) {
        return {Kind::working, std::move(message), std::move(link)};
    }
    static LoginStatus failed(std::string message) {
        return {Kind::failed, std::move(message), std::nullopt};
    }

    bool operator==(const LoginStatus&) const = default;
};

// A failed load of the web app. Every failure gets a new id, so the same text twice is still a
// new error for the overlay.
struct ShellNavigationError {
    std::string id;
    std::string message;

    bool operator==(const ShellNavigationError&) const = default;
};

// A load failure as the web view reports it.
struct NavigationFailure {
    enum class Kind {
        failed,               // a real failure: shown to the user
        cancelled,            // the load was stopped (a newer load replaced it)
        interruptedByPolicy,  // the navigation became a download or was handed to another program
    };
    Kind kind = Kind::failed;
    std::string message;
};

}  // namespace vhbr
