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
