#include "Platform/UrlSession.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>

#include "Platform/AtomicFile.hpp"
#include "Platform/RateLimiter.hpp"
#include "Platform/Url.hpp"
#include "Support/Errors.hpp"

namespace vhbr {

namespace {

constexpr long kUploadBufferBytes = 512 * 1024;
constexpr const char* kInsecureURL = "Only secure (https) addresses may be used for transfers.";

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string describeCurlCode(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "A server with the specified hostname could not be found.";
        case CURLE_COULDNT_CONNECT:
            return "Could not connect to the server.";
        case CURLE_OPERATION_TIMEDOUT:
            return "The request timed out.";
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return "The certificate for this server is invalid.";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_USE_SSL_FAILED:
            return "A TLS error caused the secure connection to fail.";
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return "The network connection was lost.";
        case CURLE_TOO_MANY_REDIRECTS:
            return "Too many HTTP redirects.";
        case CURLE_URL_MALFORMAT:
            return "The URL is not valid.";
        case CURLE_UNSUPPORTED_PROTOCOL:
            return kInsecureURL;
        case CURLE_WEIRD_SERVER_REPLY:
            return "The server returned an invalid response.";
        default:
            return std::string("A network error occurred (") + curl_easy_strerror(code) + ").";
    }
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
    }
    return std::nullopt;
}

std::optional<std::chrono::seconds> HttpResponse::retryAfter() const {
    if (statusCode != 429 && statusCode != 503) return std::nullopt;
    const auto value = header("Retry-After");
    if (!value || value->empty()) return std::nullopt;
    constexpr std::chrono::seconds kLongest = std::chrono::hours(24);
    if (std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return value->size() > 6 ? kLongest : std::min(std::chrono::seconds(std::stol(*value)), kLongest);
    // Or an HTTP date: the wait is the time until then.
    const time_t when = curl_getdate(value->c_str(), nullptr);
    if (when < 0) return std::nullopt;
    const auto wait = std::chrono::seconds(when - std::time(nullptr));
    return std::clamp(wait, std::chrono::seconds(0), kLongest);
}

struct UrlSession::Transfer {
    TaskId id = 0;
    HttpRequest request;
    Completion completion;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    int fd = -1;
    int fileErrno = 0;
    std::int64_t sliceSent = 0;  // of request.bodySlice
    bool replyTooLarge = false;
    bool sinkRefused = false;
    std::size_t sunkBytes = 0;
    std::size_t discardedBytes = 0;
    bool idleTimedOut = false;
    bool insecureHop = false;
    bool redirecting = false;  // the current reply's status is 3xx
    bool pausedForLimit = false;  // its body waits for the speed limit's budget
    curl_off_t lastProgress = -1;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    HttpResponse response;

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
        if (fd >= 0) ::close(fd);
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t n = size * count;
        if (t->request.bodySink) return t->sink(data, n);
        if (t->request.maxReplyBytes == 0) {
            // A discarded body is bounded too: a store whose reply never ends must not hold an upload forever.
            t->discardedBytes += n;
            if (t->discardedBytes <= kMaxAPIReplyBytes) return n;
            t->replyTooLarge = true;
            return 0;
        }
        if (t->response.body.size() + n > t->request.maxReplyBytes) {
            t->replyTooLarge = true;
            return 0;
        }
        t->response.body.append(data, n);
        return n;
    }

    size_t sink(const char* data, size_t n) {
        sunkBytes += n;
        if (sunkBytes > request.maxReplyBytes) {
            replyTooLarge = true;
            return 0;
        }
        try {
            if (request.bodySink(std::string_view(data, n))) return n;
        } catch (...) {
            // Nothing may cross back into libcurl; the sink's owner knows what went wrong.
        }
        sinkRefused = true;
        return 0;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        std::string_view line(data, size * count);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.starts_with("HTTP/")) {
            t->response.headers.clear();  // a new status line: 100-continue or a redirect hop
            const auto space = line.find(' ');
            t->redirecting = space != std::string_view::npos && line.substr(space + 1).starts_with('3');
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
            if (t->redirecting && t->request.maxRedirects > 0 && ::strncasecmp(line.data(), "Location:", 9) == 0 &&
                !t->allowsRedirect(value)) {
                t->insecureHop = true;
                return 0;
            }
            t->response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
        return size * count;
    }

    // Called about once a second even when nothing moves, which is what the idle check needs.
    static int onProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
        (void)dltotal;
        (void)ultotal;
        auto* t = static_cast<Transfer*>(user);
        const auto now = std::chrono::steady_clock::now();
        if (dlnow + ulnow != t->lastProgress) {
            t->lastProgress = dlnow + ulnow;
            t->lastActivity = now;
            return 0;
        }
        if (now - t->lastActivity < t->request.idleTimeout) return 0;
        t->idleTimedOut = true;
        return 1;
    }

    // Request bodies keep to the upload speed limit: what the budget does not allow now waits, the
    // transfer paused, until the session's loop continues it.
    static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        auto& limiter = RateLimiter::uploads();
        const size_t allowed = limiter.take(size * count);
        if (allowed == 0) {
            t->pausedForLimit = true;
            return CURL_READFUNC_PAUSE;
        }
        const size_t n = t->readBody(buffer, allowed);
        if (n != CURL_READFUNC_ABORT && n < allowed) limiter.giveBack(allowed - n);
        return n;
    }

    size_t readBody(char* buffer, size_t capacity) {
        if (request.bodySlice) return readSlice(buffer, capacity);
        for (;;) {
            ssize_t n = ::read(fd, buffer, capacity);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno == EINTR) continue;
            fileErrno = errno;
            return CURL_READFUNC_ABORT;
        }
    }

    // Lets libcurl send the body again, e.g. when a kept-alive connection turns out to be closed
    // and the request is retried on a new one; without it that retry fails the transfer.
    size_t readSlice(char* buffer, size_t capacity) {
        const auto& slice = *request.bodySlice;
        const auto want = static_cast<size_t>(std::min<std::int64_t>(slice.length - sliceSent, capacity));
        if (want == 0) return 0;
        for (;;) {
            const ssize_t n = ::pread(slice.fd, buffer, want, static_cast<off_t>(slice.offset + sliceSent));
            if (n > 0) {
                sliceSent += n;
                return static_cast<size_t>(n);
            }
            if (n < 0 && errno == EINTR) continue;
            fileErrno = n == 0 ? ENODATA : errno;  // the source ended before the promised length
            return CURL_READFUNC_ABORT;
        }
    }

    static int onSeek(void* user, curl_off_t offset, int origin) {
        auto* t = static_cast<Transfer*>(user);
        if (t->request.bodySlice) {
            if (origin != SEEK_SET || offset < 0 || offset > t->request.bodySlice->length) return CURL_SEEKFUNC_FAIL;
            t->sliceSent = offset;
            return CURL_SEEKFUNC_OK;
        }
        return ::lseek(t->fd, static_cast<off_t>(offset), origin) < 0 ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
    }

    // Every redirect target is checked before libcurl follows it (before any name lookup): plain
    // http may only ever reach this machine, and a transfer that began on https stays on https.
    bool allowsRedirect(std::string_view location) {
        char* current = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &current);
        const auto target = url::resolve(current ? current : request.url, location);
        return target && url::isAllowedTransfer(*target, url::isLoopbackHttp(request.url));
    }

    // Which schemes libcurl may use, for the request and for redirects. Anything but https (and
    // http to a loopback development service) is refused before a byte moves: a file:// URL from a
    // reply would otherwise write the upload's bytes over a local file.
    void restrictProtocols() {
        const char* protocols = url::isLoopbackHttp(request.url) ? "http,https" : "https";
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, protocols);
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.maxRedirects > 0 ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, request.maxRedirects);
        // A redirected POST stays a POST with its body (libcurl would turn it into a GET).
        curl_easy_setopt(easy, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
        // The bearer token never travels to another host (libcurl's default, stated here on purpose).
        curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
    }

    // Prepares the easy handle; a refused URL or a body file that cannot be opened fails here,
    // before any I/O.
    void configure() {
        if (!url::isAllowedTransfer(request.url, true)) throw TransportError(kInsecureURL, CURLE_UNSUPPORTED_PROTOCOL);
        easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        restrictProtocols();
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        for (const auto& [name, value] : request.headers)
            headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
        // Presigned stores answer at once; waiting for 100-continue only adds a round trip.
        headerList = curl_slist_append(headerList, "Expect:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);

        if (!request.bodyFile.empty()) {
            fd = ::open(request.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) throw FileSystemError(describeFileError("Could not read", request.bodyFile, errno));
            const off_t size = ::lseek(fd, 0, SEEK_END);
            ::lseek(fd, 0, SEEK_SET);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, this);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
            curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
        } else if (request.bodySlice) {
            curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.bodySlice->length));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, this);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
            curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
        } else if (request.method == "POST" || !request.body.empty()) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        }
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    HttpResult result(CURLcode code) {
        HttpResult r;
        if (code == CURLE_OK) {
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.statusCode);
            r.response = std::move(response);
        } else if (fileErrno != 0 && request.bodySlice) {
            r.error = std::make_exception_ptr(FileSystemError(
                fileErrno == ENODATA ? std::string("The file being uploaded ended early.")
                                     : "The file being uploaded could not be read: " + std::string(std::strerror(fileErrno)) + "."));
        } else if (fileErrno != 0) {
            r.error = std::make_exception_ptr(
                FileSystemError(describeFileError("Could not read", request.bodyFile, fileErrno)));
        } else if (insecureHop) {
            r.error = std::make_exception_ptr(TransportError(kInsecureURL, code));
        } else if (idleTimedOut) {
            r.error = std::make_exception_ptr(
                TransportError(describeCurlCode(CURLE_OPERATION_TIMEDOUT), CURLE_OPERATION_TIMEDOUT));
        } else if (sinkRefused) {
            r.error = std::make_exception_ptr(FileSystemError("The reply could not be stored."));
        } else if (replyTooLarge) {
            r.error = std::make_exception_ptr(TransportError("The server's reply was too large.", code));
        } else {
            r.error = std::make_exception_ptr(TransportError(describeCurlCode(code), code));
        }
        return r;
    }
};

UrlSession::UrlSession() : UrlSession(Options{}) {}

UrlSession::UrlSession(Options options) : options_(options) {
    globalInit();
    multi_ = curl_multi_init();
    if (options_.maxConnectionsPerHost > 0)
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, options_.maxConnectionsPerHost);
    thread_ = std::thread([this] { loop(); });
}

UrlSession::~UrlSession() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    curl_multi_cleanup(multi_);
}

UrlSession& UrlSession::shared() {
    static UrlSession session;
    return session;
}

UrlSession::TaskId UrlSession::createTask(HttpRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    transfer->configure();
    std::lock_guard lock(mutex_);
    transfer->id = nextId_++;
    const TaskId id = transfer->id;
    pending_.emplace(id, std::move(transfer));
    return id;
}

void UrlSession::resume(TaskId id) {
    {
        std::lock_guard lock(mutex_);
        toStart_.push_back(id);
    }
    curl_multi_wakeup(multi_);
}

void UrlSession::cancel(TaskId id) {
    {
        std::lock_guard lock(mutex_);
        toCancel_.push_back(id);
    }
    curl_multi_wakeup(multi_);
}

HttpResponse UrlSession::perform(HttpRequest request, std::stop_token stop) {
    if (stop.stop_requested()) throw CancelledError();
    auto promise = std::make_shared<std::promise<HttpResult>>();
    auto future = promise->get_future();
    const TaskId id = createTask(std::move(request), [promise](TaskId, HttpResult r) { promise->set_value(std::move(r)); });
    std::stop_callback onStop(stop, [this, id] { cancel(id); });
    resume(id);
    HttpResult result = future.get();
    if (result.error) std::rethrow_exception(result.error);
    return std::move(result.response);
}

void UrlSession::complete(std::unique_ptr<Transfer> transfer, HttpResult result) {
    try {
        transfer->completion(transfer->id, std::move(result));
    } catch (...) {
        // A completion must not throw; nothing may cross back into libcurl.
    }
}

void UrlSession::drainCommands() {
    std::vector<TaskId> start, cancels;
    std::vector<std::unique_ptr<Transfer>> cancelledPending;
    {
        std::lock_guard lock(mutex_);
        start.swap(toStart_);
        cancels.swap(toCancel_);
        for (TaskId id : start) {
            auto it = pending_.find(id);
            if (it == pending_.end()) continue;
            curl_multi_add_handle(multi_, it->second->easy);
            running_.emplace(id, std::move(it->second));
            pending_.erase(it);
        }
        for (TaskId id : cancels) {
            if (auto it = pending_.find(id); it != pending_.end()) {
                cancelledPending.push_back(std::move(it->second));
                pending_.erase(it);
            }
        }
    }
    for (auto& t : cancelledPending) complete(std::move(t), {std::make_exception_ptr(CancelledError()), {}});
    for (TaskId id : cancels) {
        auto it = running_.find(id);
        if (it == running_.end()) continue;
        auto transfer = std::move(it->second);
        running_.erase(it);
        curl_multi_remove_handle(multi_, transfer->easy);
        complete(std::move(transfer), {std::make_exception_ptr(CancelledError()), {}});
    }
}

void UrlSession::finish(Transfer* raw, int curlCode) {
    auto it = running_.find(raw->id);
    auto transfer = std::move(it->second);
    running_.erase(it);
    curl_multi_remove_handle(multi_, transfer->easy);
    HttpResult result = transfer->result(static_cast<CURLcode>(curlCode));
    complete(std::move(transfer), std::move(result));
}

int UrlSession::continueLimited() {
    constexpr int kIdlePollMs = 1000;
    // Paused transfers look again often enough that a lifted or raised limit applies at once.
    constexpr int kPausedPollMs = 100;
    auto& limiter = RateLimiter::uploads();
    bool waiting = false;
    for (auto& [id, t] : running_) {
        if (!t->pausedForLimit) continue;
        if (limiter.untilAvailable() > std::chrono::milliseconds(0)) {
            waiting = true;
            continue;
        }
        t->pausedForLimit = false;
        curl_easy_pause(t->easy, CURLPAUSE_CONT);  // may read at once, and pause again
        waiting = waiting || t->pausedForLimit;
    }
    if (!waiting) return kIdlePollMs;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(limiter.untilAvailable()).count();
    return static_cast<int>(std::clamp<std::int64_t>(wait, 1, kPausedPollMs));
}

void UrlSession::loop() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        drainCommands();
        int active = 0;
        curl_multi_perform(multi_, &active);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &transfer);
            finish(transfer, msg->data.result);
        }
        curl_multi_poll(multi_, nullptr, 0, continueLimited(), nullptr);
    }
    // Shutting down: whatever is still open ends as cancelled so no waiter hangs.
    std::unordered_map<TaskId, std::unique_ptr<Transfer>> leftovers;
    {
        std::lock_guard lock(mutex_);
        leftovers.swap(pending_);
    }
    for (auto& [id, t] : running_) {
        curl_multi_remove_handle(multi_, t->easy);
        leftovers.emplace(id, std::move(t));
    }
    running_.clear();
    for (auto& [id, t] : leftovers) complete(std::move(t), {std::make_exception_ptr(CancelledError()), {}});
}

}  // namespace vhbr
