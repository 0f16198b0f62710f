#include "Update/UpdateDownloader.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Platform/AtomicFile.hpp"
#include "Platform/UrlSession.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace {

struct UrlParts {
    std::string scheme;
    std::string host;
};

std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parseURL(const std::string& text) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), &curl_url_cleanup);
    if (curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return {nullptr, &curl_url_cleanup};
    return u;
}

std::string part(CURLU* u, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(u, which, &value, 0) != CURLUE_OK || !value) return {};
    std::string out(value);
    curl_free(value);
    return out;
}

// A Location header resolved against the address that sent it.
std::string resolve(const std::string& base, const std::string& location) {
    auto u = parseURL(base);
    if (!u || curl_url_set(u.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK) return {};
    return part(u.get(), CURLUPART_URL);
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

AppError refusedAddress() { return AppError("The update address is not a secure (https) address."); }

// The download's file, removed unless the download succeeds.
class DownloadFile {
public:
    explicit DownloadFile(std::filesystem::path path) : path_(std::move(path)) { open(); }
    ~DownloadFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    bool write(std::string_view chunk) {
        while (!chunk.empty()) {
            const ssize_t n = ::write(fd_, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error_ = errno;
                return false;
            }
            chunk.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // A redirect's body was written before we knew it was one: start again.
    void restart() {
        if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) error_ = errno;
    }
    void finish() {
        if (error_ == 0 && ::fsync(fd_) != 0) error_ = errno;
        if (::close(fd_) != 0 && error_ == 0) error_ = errno;
        fd_ = -1;
        throwIfFailed();
        kept_ = true;
    }
    void throwIfFailed() const {
        if (error_ != 0) throw FileSystemError(describeFileError("Could not write", path_, error_));
    }

private:
    void open() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            kept_ = true;  // nothing of ours to remove
            throw FileSystemError(describeFileError("Could not write", path_, errno));
        }
    }

    std::filesystem::path path_;
    int fd_ = -1;
    int error_ = 0;
    bool kept_ = false;
};

}  // namespace

bool UpdateDownloader::isAllowedURL(const std::string& url) {
    auto u = parseURL(url);
    if (!u) return false;
    const std::string scheme = part(u.get(), CURLUPART_SCHEME);
    const std::string host = part(u.get(), CURLUPART_HOST);
    if (scheme == "https") return !host.empty();
    return scheme == "http" && (host == "127.0.0.1" || host == "[::1]" || host == "localhost");
}

long UpdateDownloader::get(std::string url, std::size_t maxBytes,
                           const std::function<bool(std::string_view)>& sink,
                           const std::function<void()>& restart, std::stop_token stop) {
    for (int hop = 0;; ++hop) {
        if (!isAllowedURL(url)) throw refusedAddress();
        HttpRequest request;
        request.url = url;
        request.idleTimeout = options_.idleTimeout;
        request.connectTimeout = options_.connectTimeout;
        request.maxReplyBytes = maxBytes;
        request.bodySink = sink;
        request.maxRedirects = 0;  // each hop is checked here
        const HttpResponse response = session_.perform(std::move(request), stop);
        const auto location = response.header("Location");
        if (!isRedirect(response.statusCode) || !location) return response.statusCode;
        if (hop >= options_.maxRedirects) throw AppError("The update server redirected too many times.");
        url = resolve(url, *location);
        restart();
    }
}

std::string UpdateDownloader::fetchFeed(const std::string& url, std::stop_token stop) {
    std::string text;
    const long status = get(
        url, options_.maxFeedBytes,
        [&text](std::string_view chunk) {
            text.append(chunk);
            return true;
        },
        [&text] { text.clear(); }, stop);
    if (status != 200)
        throw AppError("The update information could not be loaded (the server returned status " +
                       std::to_string(status) + ").");
    return text;
}

void UpdateDownloader::download(const AppcastEnclosure& enclosure, const std::filesystem::path& file,
                                const Progress& progress, std::stop_token stop) {
    DownloadFile out(file);
    std::uint64_t received = 0;
    bool tooLarge = false;
    long status = 0;
    try {
        // One byte over the published length is enough to know the file is not the one published.
        status = get(
            enclosure.url, static_cast<std::size_t>(enclosure.length) + 1,
            [&](std::string_view chunk) {
                if (received + chunk.size() > enclosure.length) {
                    tooLarge = true;
                    return false;
                }
                if (!out.write(chunk)) return false;
                received += chunk.size();
                if (progress) progress(received, enclosure.length);
                return true;
            },
            [&] {
                out.restart();
                received = 0;
            },
            stop);
    } catch (const Error&) {
        out.throwIfFailed();  // a full disk says so, rather than "the reply could not be stored"
        if (tooLarge)
            throw AppError(
                "The update was not installed because the download is larger than the published size.");
        throw;
    }
    if (status != 200)
        throw AppError("The update could not be downloaded (the server returned status " +
                       std::to_string(status) + ").");
    out.finish();
}

}  // namespace vhbr
