#pragma once
// How the running program was installed, which decides which package an update needs and how it
// is put in place:
//   tarball   a per-user install: <root>/versions/<version>/ holds each unpacked version and the
//             link <root>/current points at the one in use (the launcher and ~/.local/bin go
//             through that link), so an update is unpacked beside it and the link switched;
//   debian    installed by the system's package manager: the verified .deb goes to the desktop's
//             software installer;
//   unmanaged anything else (a build tree): updates can be found but not installed.
// Threads: any (a value; detect() reads the file system and may run dpkg-query).

#include <filesystem>
#include <string>

namespace vhbr {

struct UpdateInstallation {
    enum class Kind { tarball, debian, unmanaged };

    Kind kind = Kind::unmanaged;
    std::filesystem::path root;        // tarball: the folder holding "versions" and "current"
    std::filesystem::path executable;  // the running program, relative to its version folder
    std::string versionFolder;         // tarball: the name of the running version's folder

    // program: the running executable's real path (links resolved). Asks dpkg-query about a
    // program in /usr (a short-lived child process).
    static UpdateInstallation detect(const std::filesystem::path& program);
    // Of the running process.
    static UpdateInstallation current();

    // The feed's "sparkle:os" value this install takes, e.g. "linux-x86_64-tarball"; empty when
    // unmanaged.
    std::string platform() const;
};

}  // namespace vhbr
