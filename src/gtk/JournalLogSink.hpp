#pragma once
// The desktop app's log: structured GLib log entries, written to the systemd journal when there
// is one (MESSAGE, PRIORITY and GLIB_DOMAIN "velvetharbor"), otherwise by GLib's default writer
// (stderr, where informational lines show only with G_MESSAGES_DEBUG).
//
// Threads: any thread; GLib's writers are thread-safe.

#include "Support/Log.hpp"

namespace vhbr::gtk {

class JournalLogSink final : public LogSink {
public:
    void write(LogLevel level, const std::string& line) noexcept override;
};

}  // namespace vhbr::gtk
