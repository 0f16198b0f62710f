#include "Update/UpdateInstallation.hpp"

#include <sys/utsname.h>

#include <fstream>

namespace vhbr {

namespace fs = std::filesystem;

namespace {

// The package manager lists every file it installed in <package>.list.
bool dpkgOwns(const fs::path& program, const fs::path& infoDirectory) {
    std::ifstream list(infoDirectory / "velvetharbor.list");
    std::string line;
    while (std::getline(list, line))
        if (line == program.string()) return true;
    return false;
}

}  // namespace

UpdateInstallation UpdateInstallation::detect(const fs::path& program, const fs::path& dpkgInfoDirectory) {
    UpdateInstallation result;
    // <root>/versions/<version>/<bin/…>: walk up until the "versions" folder.
    for (fs::path dir = program.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
        if (dir.parent_path().filename() != "versions") continue;
        const fs::path root = dir.parent_path().parent_path();
        std::error_code ec;
        if (!fs::is_symlink(root / "current", ec)) break;
        result.kind = Kind::tarball;
        result.root = root;
        result.executable = program.lexically_relative(dir);
        result.versionFolder = dir.filename().string();
        return result;
    }
    if (dpkgOwns(program, dpkgInfoDirectory)) {
        result.kind = Kind::debian;
        result.executable = program;
    }
    return result;
}

UpdateInstallation UpdateInstallation::current() {
    std::error_code ec;
    return detect(fs::read_symlink("/proc/self/exe", ec));
}

std::string UpdateInstallation::platform() const {
    if (kind == Kind::unmanaged) return {};
    utsname name{};
    ::uname(&name);
    return std::string("linux-") + name.machine + (kind == Kind::tarball ? "-tarball" : "-deb");
}

}  // namespace vhbr
