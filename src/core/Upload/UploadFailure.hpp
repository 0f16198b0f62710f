#pragma once
// The three kinds of failure an upload meets, told apart in this one place. Connectivity (no
// route to the service or storage: a name that does not resolve, a connection refused, reset or
// lost, a TLS handshake cut, or no byte moving for the stall window) makes an upload wait for the
// network and carry on by itself; an answer (an HTTP status) and a local fault (file, disk) count
// against a part's attempts or end the run.
//
// Threads: stateless; any thread.

#include <chrono>
#include <exception>
#include <optional>

#include "Services/APIClient.hpp"

namespace vhbr {

// The service already has this task's file ("already complete" for an upload session or its part
// URLs): the upload ends as completed.
class AlreadyComplete : public Error {
public:
    AlreadyComplete() : Error("The upload of this task is already complete.") {}
};

// A refusal of the service that no later try can change: a 4xx other than 401 (a fresh token
// helps), 408 and 429 (later may work). The upload ends as failed with the service's message and
// is not offered for resume again.
class PermanentRefusal : public AppError {
public:
    using AppError::AppError;
};

// Throws PermanentRefusal for such a reply of the service, and otherwise what
// APIClientResponse::requireSuccess throws. alreadyCompleteMeansDone: a 409 is AlreadyComplete.
void requireServiceSuccess(const APIClientResponse& reply, bool alreadyCompleteMeansDone = false);

// A storage's refusal that no later try can change: a 4xx other than 403 (an expired signature;
// fresh URLs help), 408 and 429. The upload then ends as a PermanentRefusal.
bool isFinalStorageRefusal(const APIError& refusal);

// The wait a 429 or 503 of the service or storage asked for, where it said (Retry-After).
std::optional<std::chrono::seconds> askedToWait(const std::exception_ptr& error);

enum class FailureKind { connectivity, answer, local };

// The kind of a caught failure; CancelledError is local (nothing to wait for).
FailureKind failureKind(const std::exception_ptr& error);

inline bool isConnectivityFailure(const std::exception_ptr& error) {
    return failureKind(error) == FailureKind::connectivity;
}

}  // namespace vhbr
