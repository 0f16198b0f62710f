#pragma once
// Fetches the update feed and downloads a package through the engine's HTTP layer: TLS verified,
// https only (plain http only to this machine, for a local test service), redirects followed
// under the same rule, the reply capped in size.
// Threads: any thread but the main one, since each call waits for its transfer; the progress
// callback runs on the session's transfer thread and must be quick.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>

#include "Update/Appcast.hpp"

namespace vhbr {

class UrlSession;

class UpdateDownloader {
public:
    struct Options {
        std::chrono::milliseconds idleTimeout{std::chrono::seconds(30)};
        std::chrono::milliseconds connectTimeout{std::chrono::seconds(30)};
        std::size_t maxFeedBytes = 4u << 20;
        int maxRedirects = 5;
    };
    using Progress = std::function<void(std::uint64_t received, std::uint64_t expected)>;

    explicit UpdateDownloader(UrlSession& session) : UpdateDownloader(session, Options{}) {}
    UpdateDownloader(UrlSession& session, Options options) : session_(session), options_(options) {}

    // The feed's text. Throws AppError for a refused address or a failed status, the session's
    // errors for transport failures, CancelledError when stop is requested.
    std::string fetchFeed(const std::string& url, std::stop_token stop = {});

    // Writes the enclosure to file (created 0600, replaced if present), never more bytes than
    // its published length. On any failure file is removed before the error is thrown.
    void download(const AppcastEnclosure& enclosure, const std::filesystem::path& file,
                  const Progress& progress, std::stop_token stop = {});

    // https anywhere; http only to 127.0.0.1, ::1 or localhost.
    static bool isAllowedURL(const std::string& url);

private:
    // Follows redirects itself so that each hop is checked; sink receives the final reply's body.
    long get(std::string url, std::size_t maxBytes, const std::function<bool(std::string_view)>& sink,
             const std::function<void()>& restart, std::stop_token stop);

    UrlSession& session_;
    Options options_;
};

}  // namespace vhbr
