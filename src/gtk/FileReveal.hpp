#pragma once
// Shows a file selected in the user's file manager (the freedesktop FileManager1 interface), or
// opens its folder where no file manager answers: "Show in Files" of a download and of an upload.
//
// Threads: main thread only.

#include <filesystem>

namespace vhbr::gtk {

void revealInFiles(const std::filesystem::path& file);

}  // namespace vhbr::gtk
