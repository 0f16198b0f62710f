#include "CommandTokenProvider.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "Support/Errors.hpp"

extern char** environ;

namespace vhbr::cli {

namespace {

// Spawn attributes for a child that behaves as if started from a fresh shell: the CLI blocks its
// stop signals in every thread (a watcher thread takes them) and ignores SIGPIPE and SIGXFSZ, and
// a child would inherit all of it and could then not be interrupted. Its own process group lets a
// time-out end the command together with whatever it started.
struct SpawnAttributes {
    posix_spawnattr_t value;
    SpawnAttributes() {
        posix_spawnattr_init(&value);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&value, &none);
        posix_spawnattr_setsigdefault(&value, &all);
        posix_spawnattr_setpgroup(&value, 0);
        posix_spawnattr_setflags(&value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
};

struct Pipe {
    int fds[2] = {-1, -1};
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
};

pid_t spawnShell(const std::string& command, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    SpawnAttributes attributes;
    std::string shell = "/bin/sh", dashC = "-c", script = command;
    char* argv[] = {shell.data(), dashC.data(), script.data(), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, "/bin/sh", &actions, &attributes.value, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw AppError("The token command could not be started.");
    return pid;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The first line the command prints, read until it closes its output or the time-out passes.
std::string firstLineOf(const std::string& command, std::chrono::milliseconds timeout) {
    Pipe pipe;
    if (::pipe2(pipe.fds, O_CLOEXEC) != 0) throw AppError("The token command could not be started.");
    const pid_t pid = spawnShell(command, pipe.fds[1]);
    ::close(pipe.fds[1]);
    pipe.fds[1] = -1;

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{pipe.fds[0], POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            ::kill(-pid, SIGKILL);
            reap(pid);
            throw AppError("The token command did not finish in time.");
        }
        char buffer[4096];
        const ssize_t n = ::read(pipe.fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (output.size() < 64 * 1024) output.append(buffer, static_cast<std::size_t>(n));
    }
    const int status = reap(pid);
    std::string line = output.substr(0, output.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || line.empty())
        throw AppError("The token command did not print a token.");
    return line;
}

}  // namespace

std::future<std::string> CommandTokenProvider::idToken() {
    std::promise<std::string> result;
    try {
        result.set_value(token_ ? *token_ : firstLineOf(command_.value_or("false"), commandTimeout_));
    } catch (...) {
        result.set_exception(std::current_exception());
    }
    return result.get_future();
}

}  // namespace vhbr::cli
