#include "ReliabilitySupport.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vhbr::test {

namespace fs = std::filesystem;

ChildResult runProgram(const std::vector<std::string>& argv, const ChildOptions& options) {
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> args = argv, env;
    for (const auto& [name, value] : options.environment) env.push_back(name + "=" + value);
    std::vector<char*> argp, envp;
    for (auto& a : args) argp.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);

    // A pipe, not a file: a file-size limit on the child must not cut its output short.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int out = pipeFds[1];

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::setpgid(0, 0);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
        if (options.fileSizeLimit) {
            const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        }
        if (options.user) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 || ::setuid(*options.user) != 0)
                ::_exit(126);
        }
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }

    ::close(out);

    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{pipeFds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) == 0) {
            ::kill(-pid, SIGKILL);
            break;
        }
        char buffer[8192];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer closed: the child and its children are done
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

ChildResult runCli(const std::vector<std::string>& args, const ChildOptions& options) {
    std::vector<std::string> argv{VHBR_BIN_DIR "/velvetharbor-cli"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, options);
}

std::vector<std::pair<std::string, std::string>> cliEnvironment(const std::string& apiUrl,
                                                                const fs::path& home,
                                                                const std::string& token) {
    std::vector<std::pair<std::string, std::string>> env{
        {"HOME", home.string()},
        {"PATH", "/usr/bin:/bin"},
        {"VHBR_API_URL", apiUrl},
        {"VHBR_WEB_URL", apiUrl + "/app"},
        {"XDG_DATA_HOME", (home / "data").string()},
        {"XDG_CONFIG_HOME", (home / "config").string()},
    };
    if (!token.empty()) env.emplace_back("VHBR_TOKEN", token);
    // Sanitizer settings of the test run reach the CLI too.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env.emplace_back(name, value);
    return env;
}

bool anyFileContains(const fs::path& root, const std::string& needle) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        std::ostringstream content;
        content << std::ifstream(it->path(), std::ios::binary).rdbuf();
        if (content.str().find(needle) != std::string::npos) return true;
    }
    return false;
}

std::uint64_t residentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

}  // namespace vhbr::test
