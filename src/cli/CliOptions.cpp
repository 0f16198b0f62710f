#include "CliOptions.hpp"

#include <stdexcept>

#include "Support/ByteRate.hpp"
#include "Support/Errors.hpp"

namespace vhbr::cli {

const char* const kUsage =
    "usage: velvetharbor-cli upload FILE... [--intent subtitle|translate] [--source ID] [--target ID]\n"
    "                                [--limit-rate RATE]\n"
    "       velvetharbor-cli resume [--yes] [--limit-rate RATE]\n"
    "       velvetharbor-cli list\n"
    "       velvetharbor-cli login\n"
    "       velvetharbor-cli --version\n"
    "options for every command: --token-command CMD (the bearer token is its first output line;\n"
    "otherwise VHBR_TOKEN is used); --verbose (the engine's log on stderr)\n"
    "RATE: the upload speed limit in bytes per second, shared by all parts: 500K, 20M, 1G\n"
    "upload and resume: --network-wait SECONDS (how long to wait for a lost network; default 3600)\n";

const char* const kHelp =
    "Usage: velvetharbor-cli COMMAND [OPTION...]\n"
    "Uploads audio and video files to the Velvetharbor subtitling and translation service, as the\n"
    "desktop app does: one request below 50 MiB, otherwise in parts of 10 MiB, six at a time, with\n"
    "retries. Each upload's state is saved after every part, so an upload stopped by Ctrl-C, a\n"
    "quit or a crash resumes where it stopped.\n"
    "\n"
    "Commands:\n"
    "  upload FILE...   check and upload the files, one after another\n"
    "  resume           offer the unfinished uploads and continue them\n"
    "  list             list the unfinished uploads\n"
    "  login            sign in through your web browser and print the sign-in token\n"
    "\n"
    "Options:\n"
    "  --intent subtitle|translate   what the service is to do (upload; default: the last choice)\n"
    "  --source ID       the language spoken (upload; e.g. auto, en, fr)\n"
    "  --target ID       the language of the subtitles (upload; e.g. en, de)\n"
    "  --yes             resume without asking (resume)\n"
    "  --limit-rate RATE   upload at most RATE bytes per second in all (upload, resume; 500K, 20M)\n"
    "  --network-wait SECONDS   how long to wait for a lost network before giving up (upload,\n"
    "                    resume; default 3600)\n"
    "  --token-command CMD   the bearer token is the first line CMD prints\n"
    "  --verbose         the engine's log on stderr\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Environment:\n"
    "  VHBR_TOKEN     the bearer token, without --token-command\n"
    "  VHBR_API_URL   the service\n"
    "  VHBR_WEB_URL   the web app (its sign-in page)\n"
    "\n"
    "Files:\n"
    "  ~/.local/share/Velvetharbor   unfinished uploads ($XDG_DATA_HOME/Velvetharbor)\n"
    "\n"
    "See also:\n"
    "  velvetharbor(1)\n";

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
        } else if (arg == "--limit-rate" && (options.command == "upload" || options.command == "resume")) {
            try {
                options.limitRate = ByteRate::parse(value());
            } catch (const AppError& e) {
                throw std::invalid_argument(e.message());
            }
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
