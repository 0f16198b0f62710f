#pragma once
// The web view's decisions as plain functions: which navigations stay inside, which leave for
// another program, which become downloads, what a request for a new window does and how a file
// input's chooser is set up. The GTK front end asks these and only carries out the answers.
//
// Threads: pure functions and constants; any thread.

#include <optional>
#include <string>
#include <string_view>

#include "DownloadPolicy.hpp"
#include "Support/BundleInfo.hpp"

namespace vhbr {

namespace ShellWebPolicy {

// "VelvetharborMac/" + the bundle's short version: the web app recognises the desktop shell by it.
std::string userAgentApplicationName(const BundleInfo& bundle);

enum class Decision { allow, cancel, download };

// A navigation the web view is about to start.
struct NavigationAction {
    std::optional<std::string> url;
    bool shouldPerformDownload = false;  // a link with a download attribute
};

struct NavigationVerdict {
    Decision decision = Decision::allow;
    std::optional<std::string> openExternally;  // hand this URL to the system (with cancel)

    bool operator==(const NavigationVerdict&) const = default;
};

// http, https, about, blob and data (any letter case) stay inside, whatever the host; any other
// scheme goes to the system and the navigation is cancelled, except file URLs, which are only
// cancelled (no page opens local files on the desktop); no URL or no scheme is allowed.
NavigationVerdict decideNavigation(const NavigationAction& action);

// download when DownloadPolicy::shouldDownload says so, else allow.
Decision decideResponse(const DownloadResponse& response, bool canShowMIMEType);

// A request for a new window (a target="_blank" link, window.open): the URL to open in the
// default browser, if any (never a file URL). The shell never opens a second web view.
std::optional<std::string> newWindowTarget(const std::optional<std::string>& url);

// What a file input asks for, and how the chooser is set up for it (files always selectable).
struct FileInputParameters {
    bool allowsMultipleSelection = false;
    bool allowsDirectories = false;
};
struct FileChooserSetup {
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;

    bool operator==(const FileChooserSetup&) const = default;
};
FileChooserSetup fileChooserSetup(const FileInputParameters& parameters);

}  // namespace ShellWebPolicy

}  // namespace vhbr
