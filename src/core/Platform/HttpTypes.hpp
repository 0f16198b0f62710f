#pragma once
// Plain request and response values handed to and from a UrlSession.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vhbr {

inline constexpr std::size_t kMaxAPIReplyBytes = 8u << 20;

// No byte moving for this long means the connection is lost (the uploads then wait for the network).
inline constexpr std::chrono::seconds kStallWindow{30};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;                // sent as is when bodyFile is empty
    std::filesystem::path bodyFile;  // streamed from disk when set (PUT uploads)
    // Or exactly length bytes from offset of a descriptor the caller keeps open until the reply,
    // read with pread; a source that ends early fails the transfer instead of sending less.
    struct BodySlice {
        int fd = -1;
        std::int64_t offset = 0;
        std::int64_t length = 0;
    };
    std::optional<BodySlice> bodySlice;
    // No byte moved for this long fails the request; there is deliberately no limit on the
    // total duration, so a large upload on a slow link is never cut off while it progresses.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(60)};
    // Reply bodies beyond this are an error rather than unbounded memory; 0 discards the body
    // (which still fails beyond kMaxAPIReplyBytes, so an endless reply ends).
    std::size_t maxReplyBytes = kMaxAPIReplyBytes;
    // When set, the reply body is handed here chunk by chunk (on the transfer thread) instead of
    // being kept in the response, so a large download goes to disk; maxReplyBytes still caps it.
    // Returning false ends the transfer with an error.
    std::function<bool(std::string_view chunk)> bodySink;
    // Redirects followed by the session (method and body kept, each hop checked: https, or http
    // only to this machine when the request began there; the token never goes to another host).
    // 0 hands a 3xx reply to the caller, which then follows it itself.
    long maxRedirects = 5;
};

struct HttpResponse {
    long statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // First header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
    // The wait a 429 or 503 asks for in its Retry-After (seconds, or a date), at most a day; none
    // for other statuses or a header that says nothing usable.
    std::optional<std::chrono::seconds> retryAfter() const;
};

}  // namespace vhbr
