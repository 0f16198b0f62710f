#pragma once
// A program run as a child process, with its output captured in files, for end-to-end tests.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vhbr::test {

class ChildProcess {
public:
    // Starts program with args; env entries are added to (or replace) the test's environment.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::filesystem::path& outputDir);
    ~ChildProcess();  // kills the child if it still runs

    void signal(int sig);
    // Waits for the exit; returns the exit status, or 128 + signal. Throws after the timeout.
    int wait(std::chrono::seconds timeout = std::chrono::seconds(60));
    bool running();

    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::filesystem::path outFile_;
    std::filesystem::path errFile_;
};

}  // namespace vhbr::test
