#include "Update/UpdateInstallation.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern char** environ;

namespace vhbr {

namespace fs = std::filesystem;

namespace {

// Whether the package manager installed program as part of our package. Asked through its query
// tool ("velvetharbor: /usr/bin/velvetharbor"), not by reading its database, whose layout is its
// own. Only the system's folders hold packaged programs: anywhere else it is not asked at all.
bool dpkgOwns(const fs::path& program) {
    if (!program.string().starts_with("/usr/")) return false;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string tool = "dpkg-query", option = "--search", path = program.string();
    char* argv[] = {tool.data(), option.data(), path.data(), nullptr};
    pid_t pid = -1;
    const bool started = posix_spawnp(&pid, tool.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string output;
    char buffer[512];
    for (ssize_t n; started && (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    while (started && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return started && WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.starts_with("velvetharbor: ");
}

}  // namespace

UpdateInstallation UpdateInstallation::detect(const fs::path& program) {
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
    if (dpkgOwns(program)) {
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
