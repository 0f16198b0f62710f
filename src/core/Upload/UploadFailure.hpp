#pragma once
// The three kinds of failure an upload meets, told apart in this one place. Connectivity (no
// route to the service or storage: a name that does not resolve, a connection refused, reset or
// lost, a TLS handshake cut, or no byte moving for the stall window) makes an upload wait for the
// network and carry on by itself; an answer (an HTTP status) and a local fault (file, disk) count
// against a part's attempts or end the run.
//
// Threads: stateless; any thread.

#include <exception>

namespace vhbr {

enum class FailureKind { connectivity, answer, local };

// The kind of a caught failure; CancelledError is local (nothing to wait for).
FailureKind failureKind(const std::exception_ptr& error);

inline bool isConnectivityFailure(const std::exception_ptr& error) {
    return failureKind(error) == FailureKind::connectivity;
}

}  // namespace vhbr
