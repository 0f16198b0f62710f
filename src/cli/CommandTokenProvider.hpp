#pragma once
// Bearer tokens for the CLI: a fixed token (VHBR_TOKEN), or the first line a command prints,
// run afresh for every request so a command that refreshes tokens keeps working. The command
// starts with default signal handling and is killed (with its process group) after a time-out.

#include <chrono>
#include <optional>
#include <string>

#include "Upload/UploadModels.hpp"

namespace vhbr::cli {

class CommandTokenProvider : public TokenProvider {
public:
    CommandTokenProvider(std::optional<std::string> token, std::optional<std::string> command,
                         std::chrono::milliseconds commandTimeout = std::chrono::seconds(30))
        : token_(std::move(token)), command_(std::move(command)), commandTimeout_(commandTimeout) {}

    bool hasSource() const { return token_ || command_; }
    // Runs on the calling (worker) thread.
    std::future<std::string> idToken() override;

private:
    std::optional<std::string> token_;
    std::optional<std::string> command_;
    std::chrono::milliseconds commandTimeout_;
};

}  // namespace vhbr::cli
