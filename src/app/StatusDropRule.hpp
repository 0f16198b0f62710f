#pragma once
// Which dragged items the drop zone takes (the main window and the launcher stand in for the tray
// icon, which cannot take drops here): file URIs only, folders included, in drag order; the upload
// engine validates them. Web links are refused.
//
// Threads: pure; any thread.

#include <filesystem>
#include <string>
#include <vector>

namespace vhbr {

namespace StatusDropRule {

// The local files among the dragged URIs ("text/uri-list" entries).
std::vector<std::filesystem::path> acceptedFiles(const std::vector<std::string>& uris);
// A drag is offered a copy when it holds at least one file.
bool acceptsDrag(const std::vector<std::string>& uris);

}  // namespace StatusDropRule

}  // namespace vhbr
