// What other programs hand the application: the URIs it is opened with (a file manager's files,
// a browser's "velvetharbor-desktop:" link) and the command line of the CLI. The input is split at
// NUL bytes into a list.
//
// Invariants: only the file URIs of this machine become files, in their order, each an absolute
// path without NUL that the same path percent-encoded again gives back; a link of the app's own
// scheme (exactly, case included) presents the window and nothing else does; the CLI's parser
// fails only with std::invalid_argument (main prints it as usage) and its files are arguments it
// was given.

#include <algorithm>
#include <cctype>

#include "AppLifecycle.hpp"
#include "CliOptions.hpp"
#include "FuzzCheck.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

std::string percentEncoded(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool isLocalFileURI(const std::string& uri) {
    if (uri.size() < 5) return false;
    std::string scheme = uri.substr(0, 5);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (scheme != "file:") return false;
    if (!uri.starts_with(uri.substr(0, 5) + "//")) return true;
    const auto hostEnd = uri.find('/', 7);
    const auto host = uri.substr(7, hostEnd == std::string::npos ? std::string::npos : hostEnd - 7);
    return host.empty() || host == "localhost";
}

void checkOpenedURIs(const std::vector<std::string>& uris) {
    const auto opened = AppLifecycle::sortOpenedURIs(uris);
    std::vector<std::filesystem::path> expectedFiles;
    bool link = false;
    for (const auto& uri : uris) {
        const auto path = AppLifecycle::filePathFromURI(uri);
        if (path) {
            check(isLocalFileURI(uri), "a file taken from a URI that is not this machine's file", uri);
            check(path->is_absolute(), "a relative path from a file URI", uri);
            check(path->string().find('\0') == std::string::npos, "a NUL in a path from a file URI", uri);
            check(AppLifecycle::filePathFromURI("file://" + percentEncoded(path->string())) == path,
                  "a path does not survive encoding as a file URI", uri);
            expectedFiles.push_back(*path);
        } else if (uri.starts_with("velvetharbor-desktop:")) {
            link = true;
        }
    }
    check(opened.files == expectedFiles, "opened files are not the file URIs in order");
    check(opened.presentWindow == link, "the window presented without (or not with) the app's link");
}

void checkCommandLine(const std::vector<std::string>& args) {
    cli::CliOptions options;
    if (!fuzz::succeeds<std::invalid_argument>([&] { options = cli::parseCliOptions(args); },
                                               "parseCliOptions"))
        return;
    check(options.command == args.front(), "the command is not the first argument");
    for (const auto& file : options.files)
        check(std::find(args.begin() + 1, args.end(), file.string()) != args.end(), "a file nobody named");
    if (options.intent)
        check(*options.intent == "subtitle" || *options.intent == "translate", "an unknown intent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts;
    std::string_view rest = fuzz::asText(data, size);
    while (parts.size() < 64) {
        const auto nul = rest.find('\0');
        parts.emplace_back(rest.substr(0, nul));
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    checkOpenedURIs(parts);
    checkCommandLine(parts);
    return 0;
}
