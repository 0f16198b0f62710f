#include "JournalLogSink.hpp"

#include <glib.h>

namespace vhbr::gtk {

namespace {

// GLib's own levels, but never G_LOG_LEVEL_ERROR (which aborts) or CRITICAL (a programming error).
GLogLevelFlags glibLevel(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return G_LOG_LEVEL_DEBUG;
        case LogLevel::info:
            return G_LOG_LEVEL_INFO;
        case LogLevel::warning:
        case LogLevel::error:
            return G_LOG_LEVEL_WARNING;
    }
    return G_LOG_LEVEL_INFO;
}

// syslog priorities, as the journal files them.
const char* priority(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "7";
        case LogLevel::info:
            return "6";
        case LogLevel::warning:
            return "4";
        case LogLevel::error:
            return "3";
    }
    return "6";
}

}  // namespace

void JournalLogSink::write(LogLevel level, const std::string& line) noexcept {
    const GLogField fields[] = {
        {"MESSAGE", line.c_str(), -1},
        {"PRIORITY", priority(level), -1},
        {"GLIB_DOMAIN", "velvetharbor", -1},
        {"SYSLOG_IDENTIFIER", "velvetharbor", -1},
    };
    const auto glib = glibLevel(level);
    if (g_log_writer_journald(glib, fields, G_N_ELEMENTS(fields), nullptr) == G_LOG_WRITER_HANDLED) return;
    g_log_writer_default(glib, fields, G_N_ELEMENTS(fields), nullptr);
}

}  // namespace vhbr::gtk
