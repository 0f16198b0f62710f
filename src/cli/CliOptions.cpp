#include "CliOptions.hpp"

#include <stdexcept>

namespace vhbr::cli {

const char* const kUsage =
    "usage: velvetharbor-cli upload FILE... [--intent subtitle|translate] [--source ID] [--target ID]\n"
    "       velvetharbor-cli resume [--yes]\n"
    "       velvetharbor-cli list\n"
    "       velvetharbor-cli login\n"
    "       velvetharbor-cli --version\n"
    "options for every command: --token-command CMD (the bearer token is its first output line;\n"
    "otherwise VHBR_TOKEN is used); --verbose (the engine's log on stderr)\n"
    "upload and resume: --network-wait SECONDS (how long to wait for a lost network; default 3600)\n";

CliOptions parseCliOptions(const std::vector<std::string>& args) {
    if (args.empty()) throw std::invalid_argument("No command given.");
    CliOptions options;
    options.command = args[0];
    if (options.command != "upload" && options.command != "resume" && options.command != "list" &&
        options.command != "login")
        throw std::invalid_argument("Unknown command “" + options.command + "”.");

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument("Missing value after " + arg + ".");
            return args[++i];
        };
        if (arg == "--intent" && options.command == "upload") {
            options.intent = value();
            if (options.intent != "subtitle" && options.intent != "translate")
                throw std::invalid_argument("--intent must be subtitle or translate.");
        } else if (arg == "--source" && options.command == "upload") {
            options.sourceLanguage = value();
        } else if (arg == "--target" && options.command == "upload") {
            options.targetLanguage = value();
        } else if (arg == "--token-command") {
            options.tokenCommand = value();
        } else if (arg == "--network-wait" && (options.command == "upload" || options.command == "resume")) {
            const std::string text = value();
            std::size_t used = 0;
            long long seconds = -1;
            try {
                seconds = std::stoll(text, &used);
            } catch (const std::exception&) {
            }
            if (used != text.size() || seconds < 0)
                throw std::invalid_argument("--network-wait needs a number of seconds.");
            options.networkWait = std::chrono::seconds(seconds);
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--yes" && options.command == "resume") {
            options.yes = true;
        } else if (arg.starts_with("--")) {
            throw std::invalid_argument("Unknown option " + arg + " for " + options.command + ".");
        } else if (options.command == "upload") {
            options.files.emplace_back(arg);
        } else {
            throw std::invalid_argument("Unexpected argument “" + arg + "”.");
        }
    }
    if (options.command == "upload" && options.files.empty())
        throw std::invalid_argument("No file to upload.");
    return options;
}

}  // namespace vhbr::cli
