#pragma once
// Crash-safe file replacement: a reader sees either the old or the new content, never a torn file.

#include <filesystem>
#include <string_view>

namespace vhbr {

// Writes data to a temporary file in the target's folder, flushes it to disk, renames it over
// target and flushes the folder. Throws FileSystemError with a clear description on failure,
// leaving any earlier target untouched and no temporary file behind.
void writeFileAtomically(const std::filesystem::path& target, std::string_view data);

// Creates dir and missing parents with mode 0700 (existing folders are left as they are), and
// refuses a dir that belongs to another user or that others may write to. Throws FileSystemError.
void createPrivateDirectories(const std::filesystem::path& dir);

// "<what> “<path>”: <strerror(err)>", the description used for local file failures.
std::string describeFileError(std::string_view what, const std::filesystem::path& path, int err);

}  // namespace vhbr
