#include "Upload/UploadFailure.hpp"

#include <curl/curl.h>

#include "Support/Errors.hpp"

namespace vhbr {

namespace {

bool isConnectivityCode(int code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_OPERATION_TIMEDOUT:  // connecting, or no byte moved for the stall window
            return true;
        default:
            return false;
    }
}

}  // namespace

void requireServiceSuccess(const APIClientResponse& reply, bool alreadyCompleteMeansDone) {
    const auto status = reply.statusCode;
    if (alreadyCompleteMeansDone && status == 409) throw AlreadyComplete();
    if (status >= 400 && status <= 499 && status != 401 && status != 408 && status != 429) {
        try {
            reply.requireSuccess();
        } catch (const APIError& e) {
            throw PermanentRefusal(e.what());
        }
    }
    reply.requireSuccess();
}

bool isFinalStorageRefusal(const APIError& refusal) {
    const auto status = refusal.status();
    return refusal.kind() == APIError::Kind::httpStatus && status >= 400 && status <= 499 && status != 403 &&
           status != 408 && status != 429;
}

std::optional<std::chrono::seconds> askedToWait(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& e) {
        return e.retryAfter();
    } catch (...) {
        return std::nullopt;
    }
}

FailureKind failureKind(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const TransportError& e) {
        // Anything else from the transport (an invalid certificate, a refused redirect, a reply
        // too large) is the far side's answer: waiting would not change it.
        return isConnectivityCode(e.curlCode()) ? FailureKind::connectivity : FailureKind::answer;
    } catch (const APIError&) {
        return FailureKind::answer;
    } catch (...) {
        return FailureKind::local;
    }
}

}  // namespace vhbr
