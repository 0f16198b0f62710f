#pragma once
// The CLI's exit statuses, as scripts test them: 0 every upload completed, 1 something failed,
// 2 the command line was wrong, and a stop by a signal as a shell reports one (128 + its number,
// so Ctrl-C is 130).
//
// Threads: constants; any thread (also async-signal-safe: no calls).

#include <csignal>

namespace vhbr::cli::ExitCode {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

constexpr int stoppedBy(int signal) { return 128 + signal; }

// What a run stopped by the user returns before the signal's number is known: SIGINT's status.
inline constexpr int kInterrupted = stoppedBy(SIGINT);

}  // namespace vhbr::cli::ExitCode
