#pragma once
// An opaque reference to an upload's source file that survives a relaunch, kept in the upload's
// state. It records the file's absolute path and identity (inode, size, modification time), so
// that a resumed upload never silently reads other content than it started with.
// Stateless; any thread.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace vhbr::SourceBookmark {

// The bookmark bytes for file. Throws FileSystemError when the file cannot be examined.
std::string create(const std::filesystem::path& file);

// The bookmark bytes for file, whose status the caller already has (from an open descriptor).
std::string create(const std::filesystem::path& file, const struct stat& status);

// True when status (of an open descriptor) is that of the file the bookmark was made for.
// Throws AppError when the bookmark is damaged.
bool refersTo(std::string_view bookmark, const struct stat& status);

// The file the bookmark refers to, if it is still the same file. Throws AppError when the bookmark
// is damaged, the file is gone, or it has been replaced or changed; FileSystemError when it cannot
// be examined for another reason (for example permission).
std::filesystem::path resolve(std::string_view bookmark);

}  // namespace vhbr::SourceBookmark
