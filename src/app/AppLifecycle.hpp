#pragma once
// The application's answers to the desktop: files and links handed to it, and whether quitting
// needs the user's confirmation.
//
// Threads: pure; any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vhbr {

namespace AppLifecycle {

// The application's own link scheme, compared exactly (case-sensitive).
inline constexpr const char* kLinkScheme = "velvetharbor-desktop";
// The main window's title; openMainWindow() looks for it.
inline constexpr const char* kMainWindowTitle = "Velvetharbor";

// What a list of opened URIs asks for.
struct OpenedURIs {
    std::vector<std::filesystem::path> files;  // the file URIs' paths, in order
    bool presentWindow = false;                // at least one link of kLinkScheme

    bool operator==(const OpenedURIs&) const = default;
};
OpenedURIs sortOpenedURIs(const std::vector<std::string>& uris);

// The local path of a "file:" URI (percent-decoded; host empty or "localhost"), else none.
std::optional<std::filesystem::path> filePathFromURI(const std::string& uri);

// The question asked before quitting with active uploads.
struct QuitConfirmation {
    std::string message;          // "Quit while uploads are active?"
    std::string informativeText;  // "2 uploads will stop. Relaunch Velvetharbor to resume…"
    std::string quitButton;       // "Quit" (first)
    std::string cancelButton;     // "Cancel" (second)

    bool operator==(const QuitConfirmation&) const = default;
};
// None: quit at once. Otherwise ask; only the first button quits. The question on show follows
// the count, and goes (the app quits) once it is 0.
std::optional<QuitConfirmation> quitConfirmation(std::size_t activeUploads);

}  // namespace AppLifecycle

}  // namespace vhbr
