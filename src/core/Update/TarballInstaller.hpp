#pragma once
// Puts a verified tarball update in place of a per-user install (see UpdateInstallation): the
// new version is unpacked beside the running one, then the "current" link is switched in one
// rename, so a launch sees either the old or the new version and never a half-unpacked one. The
// old version stays until the new one has started and calls removeOldVersions().
// Threads: any thread but the main one (unpacking takes a while); one install at a time per root.

#include <filesystem>
#include <string>

namespace vhbr {

class TarballInstaller {
public:
    explicit TarballInstaller(std::filesystem::path root) : root_(std::move(root)) {}

    // Unpacks archive (a .tar.gz whose entries may share one top folder, which is dropped) into
    // versions/<version> and points "current" at it. Entries that would land outside that
    // folder are refused. Throws AppError in plain words, or FileSystemError; on failure the
    // running version and the link are untouched and nothing half-unpacked stays.
    void install(const std::filesystem::path& archive, const std::string& version);

    // Removes every version but the one "current" points at (and unfinished unpackings), when
    // that is runningVersion (the folder name of the version calling): the new version calls it
    // once it runs, and an old one still running leaves everything alone. Best effort.
    void removeOldVersions(const std::string& runningVersion);

    std::filesystem::path currentLink() const { return root_ / "current"; }

private:
    void unpack(const std::filesystem::path& archive, const std::filesystem::path& into);
    void switchCurrent(const std::string& version);

    std::filesystem::path root_;
};

}  // namespace vhbr
