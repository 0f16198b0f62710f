#include "CommandTokenProvider.hpp"

#include <sys/wait.h>

#include <cstdio>

#include "Support/Errors.hpp"

namespace vhbr::cli {

namespace {

std::string firstLineOf(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw AppError("The token command could not be started.");
    std::string line;
    int c;
    while ((c = std::fgetc(pipe)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    while (c != EOF) c = std::fgetc(pipe);  // let the command finish writing
    const int status = ::pclose(pipe);
    if (status != 0 || line.empty()) throw AppError("The token command did not print a token.");
    if (line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

std::future<std::string> CommandTokenProvider::idToken() {
    std::promise<std::string> result;
    try {
        result.set_value(token_ ? *token_ : firstLineOf(command_.value_or("false")));
    } catch (...) {
        result.set_exception(std::current_exception());
    }
    return result.get_future();
}

}  // namespace vhbr::cli
