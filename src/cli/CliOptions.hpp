#pragma once
// The command line of velvetharbor-cli.

#include <cstdint>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vhbr::cli {

struct CliOptions {
    std::string command;  // upload, resume, list, login
    std::vector<std::filesystem::path> files;
    std::optional<std::string> intent;
    std::optional<std::string> sourceLanguage;
    std::optional<std::string> targetLanguage;
    std::optional<std::string> tokenCommand;
    std::optional<std::int64_t> limitRate;  // bytes per second
    // How long an upload or resume waits for a lost network before it fails (resumable).
    std::chrono::seconds networkWait{3600};
    bool yes = false;
    bool verbose = false;  // the engine's log on stderr
};

// Throws std::invalid_argument with a message fit for the user.
CliOptions parseCliOptions(const std::vector<std::string>& args);

extern const char* const kUsage;
// --help: what the program does, its commands, options, environment and files.
extern const char* const kHelp;

}  // namespace vhbr::cli
