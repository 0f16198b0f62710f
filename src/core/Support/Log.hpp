#pragma once
// The engine's log: one line per event, handed to a sink that the front end chooses (stderr for
// the CLI's --verbose, the journal for the desktop app, a recording sink in tests). Without a sink
// nothing is written. Lines are scrubbed before they reach a sink: a URL keeps its scheme, host and
// path but never its query or fragment (presigned URLs carry their signature there), and bearer
// tokens are masked, so a log can be attached to a bug report as it is.
//
// Threads: a Log and every LogSink may be used from any thread at once; sinks serialise their own
// output. write() must not throw.

#include <cstdio>
#include <string>
#include <string_view>

namespace vhbr {

enum class LogLevel { debug, info, warning, error };

// "debug", "info", "warning", "error".
std::string_view logLevelName(LogLevel level);

class LogSink {
public:
    virtual ~LogSink() = default;
    // Any thread. line is already scrubbed and holds no line break.
    virtual void write(LogLevel level, const std::string& line) noexcept = 0;
};

// Writes "velvetharbor[<level>]: <line>" to a stdio stream, one whole line per call.
class StreamLogSink : public LogSink {
public:
    explicit StreamLogSink(std::FILE* stream) : stream_(stream) {}
    void write(LogLevel level, const std::string& line) noexcept override;

private:
    std::FILE* stream_;
};

// Removes what must never be logged: the query and fragment of every URL in text, the value after
// "Bearer ", and line breaks (folded to spaces so one event stays one line).
std::string scrubForLog(std::string_view text);

// A sink that may be absent. Cheap to copy; the sink must outlive every copy.
class Log {
public:
    Log() = default;
    explicit Log(LogSink* sink) : sink_(sink) {}

    void debug(std::string_view message) const { write(LogLevel::debug, message); }
    void info(std::string_view message) const { write(LogLevel::info, message); }
    void warning(std::string_view message) const { write(LogLevel::warning, message); }
    void error(std::string_view message) const { write(LogLevel::error, message); }
    void write(LogLevel level, std::string_view message) const noexcept;

    LogSink* sink() const { return sink_; }

private:
    LogSink* sink_ = nullptr;
};

}  // namespace vhbr
