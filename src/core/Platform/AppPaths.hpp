#pragma once
// Where the application keeps its files, after the XDG base-directory rules.
// The environment is read on every call (tests point XDG_* at temporary folders); nothing is
// created here. Any thread.

#include <filesystem>

namespace vhbr {

// $XDG_DATA_HOME (when set to an absolute path) or ~/.local/share, then "Velvetharbor".
// Throws FileSystemError when no home folder can be found.
std::filesystem::path appDataDirectory();
// Unfinished upload states.
std::filesystem::path uploadsDirectory();
// Where earlier versions kept the part files of multipart transfers; only cleaned up now.
std::filesystem::path uploadPartsDirectory();
// $XDG_CONFIG_HOME (when set to an absolute path) or ~/.config, then "velvetharbor".
std::filesystem::path configDirectory();

}  // namespace vhbr
