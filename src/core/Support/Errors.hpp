#pragma once
// Every failure in the engine is an exception whose what() is the text the user sees.
// Callers catch vhbr::Error for the user-facing description; the subclasses carry payloads.

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace vhbr {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure described to the user in the system's own words.
class AppError : public Error {
public:
    explicit AppError(std::string message) : Error(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// A failure of the service API or the object storage at the HTTP level.
class APIError : public Error {
public:
    enum class Kind { httpStatus, invalidResponse };

    static APIError httpStatus(std::int64_t status, std::optional<std::string> message = std::nullopt);
    static APIError invalidResponse();

    Kind kind() const noexcept { return kind_; }
    std::int64_t status() const noexcept { return status_; }
    const std::optional<std::string>& message() const noexcept { return message_; }
    // How long the server asked to wait before trying again (Retry-After), where it said so.
    const std::optional<std::chrono::seconds>& retryAfter() const noexcept { return retryAfter_; }
    APIError withRetryAfter(std::optional<std::chrono::seconds> delay) && {
        retryAfter_ = delay;
        return std::move(*this);
    }

private:
    APIError(Kind kind, std::int64_t status, std::optional<std::string> message, const std::string& description);

    Kind kind_;
    std::int64_t status_;
    std::optional<std::string> message_;
    std::optional<std::chrono::seconds> retryAfter_;
};

// A transport failure (no connection, time-out, TLS, local file), described in plain English.
class TransportError : public Error {
public:
    TransportError(std::string description, int curlCode) : Error(std::move(description)), curlCode_(curlCode) {}
    int curlCode() const noexcept { return curlCode_; }

private:
    int curlCode_;
};

// The caller's operation was cancelled (a stopped job or sign-in).
class CancelledError : public Error {
public:
    CancelledError() : Error("The operation was cancelled.") {}
};

// A reply or stored file could not be decoded into the expected type.
class DecodingError : public Error {
public:
    explicit DecodingError(const std::string& detail) : Error("The data couldn't be read because it isn't in the correct format. (" + detail + ")") {}
};

// A local file-system failure, with the platform's description.
class FileSystemError : public Error {
public:
    using Error::Error;
};

// The text the user reads for a caught failure: what() of a standard exception, else a sentence.
std::string describeException(const std::exception_ptr& error);

}  // namespace vhbr
