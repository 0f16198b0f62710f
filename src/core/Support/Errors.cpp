#include "Support/Errors.hpp"

namespace vhbr {

APIError::APIError(Kind kind, std::int64_t status, std::optional<std::string> message, const std::string& description)
    : Error(description), kind_(kind), status_(status), message_(std::move(message)) {}

APIError APIError::httpStatus(std::int64_t status, std::optional<std::string> message) {
    std::string description = (message && !message->empty())
                                  ? *message
                                  : "The server returned status " + std::to_string(status) + ".";
    return APIError(Kind::httpStatus, status, std::move(message), description);
}

APIError APIError::invalidResponse() {
    return APIError(Kind::invalidResponse, 0, std::nullopt, "The server returned an invalid response.");
}

std::string describeException(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

}  // namespace vhbr
