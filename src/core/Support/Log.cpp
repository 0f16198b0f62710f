#include "Support/Log.hpp"

#include <cctype>

namespace vhbr {

namespace {

bool isSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool endsURL(char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'' || c == '<' || c == '>' ||
           c == ')';
}

// Copies text, dropping the query and fragment of each "scheme://…" run.
std::string stripURLQueries(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto mark = text.find("://", i);
        if (mark == std::string_view::npos || mark == 0 || !isSchemeChar(text[mark - 1])) {
            const auto until = mark == std::string_view::npos ? text.size() : mark + 3;
            out.append(text.substr(i, until - i));
            i = until;
            continue;
        }
        std::size_t end = mark + 3;
        while (end < text.size() && !endsURL(text[end])) ++end;
        const auto run = text.substr(i, end - i);  // any text before the URL, then the URL
        const auto cut = run.find_first_of("?#", mark + 3 - i);
        out.append(run.substr(0, cut));
        if (cut != std::string_view::npos) out.append("?…");
        i = end;
    }
    return out;
}

std::string maskBearer(std::string text) {
    static constexpr std::string_view kBearer = "Bearer ";
    for (auto at = text.find(kBearer); at != std::string::npos; at = text.find(kBearer, at + 1)) {
        const auto start = at + kBearer.size();
        auto end = start;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
        text.replace(start, end - start, "…");
    }
    return text;
}

}  // namespace

std::string_view logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::warning:
            return "warning";
        case LogLevel::error:
            return "error";
    }
    return "info";
}

std::string scrubForLog(std::string_view text) {
    std::string line = maskBearer(stripURLQueries(text));
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

void StreamLogSink::write(LogLevel level, const std::string& line) noexcept {
    // One fprintf per line: stdio locks the stream, so lines from several threads never interleave.
    std::fprintf(stream_, "velvetharbor[%s]: %s\n", std::string(logLevelName(level)).c_str(), line.c_str());
}

void Log::write(LogLevel level, std::string_view message) const noexcept {
    if (!sink_) return;
    try {
        sink_->write(level, scrubForLog(message));
    } catch (...) {
        // Logging never changes what the engine does.
    }
}

}  // namespace vhbr
