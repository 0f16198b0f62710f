#include "ShellOverlay.hpp"

namespace vhbr {

namespace {

ShellOverlay signInOverlay(const LoginStatus& status) {
    const bool working = status.kind == LoginStatus::Kind::working;
    ShellOverlay overlay;
    overlay.kind = ShellOverlay::Kind::signIn;
    overlay.title = "Sign in to Velvetharbor";
    overlay.message =
        status.kind == LoginStatus::Kind::idle ? "Use your browser to connect this app." : status.message;
    overlay.buttonLabel = working ? "Waiting for Browser" : "Sign in";
    overlay.buttonEnabled = !working;
    overlay.showsSpinner = working;
    overlay.action = ShellOverlay::Action::startLogin;
    overlay.link = status.link;
    overlay.showsCancel = working;
    return overlay;
}

ShellOverlay errorOverlay(const ShellNavigationError& error) {
    ShellOverlay overlay;
    overlay.kind = ShellOverlay::Kind::loadError;
    overlay.title = "Velvetharbor could not load";
    overlay.message = error.message;
    overlay.buttonLabel = "Retry";
    overlay.action = ShellOverlay::Action::loadHome;
    return overlay;
}

}  // namespace

std::optional<ShellOverlay> ShellOverlay::forState(const ShellAuthState& authState,
                                                   const LoginStatus& loginStatus,
                                                   const std::optional<ShellNavigationError>& shellError) {
    // The sign-in overlay covers the error overlay when both apply.
    if (authState.kind == ShellAuthState::Kind::signedOut) return signInOverlay(loginStatus);
    if (shellError) return errorOverlay(*shellError);
    return std::nullopt;
}

}  // namespace vhbr
