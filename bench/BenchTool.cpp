// vhbr-bench-tool: the measuring half of bench/run. Each subcommand does one kind of measurement
// and prints plain "key=value" words that the script collects.
//
//   generate FILE MIB SEED                   writes a WAV file of MIB MiB of seeded noise
//   measure RESULT -- CMD [ARG...]           runs CMD; writes "wall_s cpu_s maxrss_kib peak_dir_kib" to
//                                            RESULT, the last the most disk that the files under
//                                            $VHBR_BENCH_WATCH_DIR took at once (sampled, 0 unset)
//   presign API_URL KEY                      prints a presigned PUT URL for a fresh object
//   ideal-multipart API_URL TOKEN FILE MIME  the CLI's multipart protocol, parts PUT from FILE
//   engine-put URL FILE MIME                 the CLI's single PUT through the engine's UrlSession
//   launch RESULT TEXT LOG -- CMD [ARG...]   runs CMD with its output copied to LOG; writes its pid
//                                            to RESULT.pid and, once a line holds TEXT, the seconds
//                                            from its start to that line to RESULT
//   pss PID                                  the PSS of PID and all its descendants, also as if
//                                            they ran alone (see pss below)
//   list-memory N                            what N finished uploads cost the window's list, in
//                                            this process's RSS and heap (see listMemory below)

#include <curl/curl.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/UrlSession.hpp"
#include "TransferRate.hpp"
#include "Upload/PartRange.hpp"
#include "Upload/UploadModels.hpp"
#include "UploadList.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The engine's own figures, so that the ideal client does exactly the same work.
constexpr std::int64_t kPartBytes = vhbr::kPartSize;
constexpr long kParallelParts = 6;
constexpr long kUploadBufferBytes = 512 * 1024;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(std::string("write: ") + std::strerror(errno));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// ---- generate ---------------------------------------------------------------------------------

void putLE(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A 16-bit stereo 48 kHz WAV header. Without a real header the CLI's duration probe scans
// megabytes of noise for a format, a cost that real media never has.
void wavHeader(unsigned char* h, std::uint64_t fileSize) {
    const auto capped = [](std::uint64_t v) { return std::min<std::uint64_t>(v, 0xFFFFFFFFu); };
    std::memcpy(h, "RIFF", 4);
    putLE(h + 4, capped(fileSize - 8), 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    putLE(h + 16, 16, 4);              // fmt chunk size
    putLE(h + 20, 1, 2);               // PCM
    putLE(h + 22, 2, 2);               // channels
    putLE(h + 24, 48000, 4);           // sample rate
    putLE(h + 28, 48000 * 2 * 2, 4);   // byte rate
    putLE(h + 32, 4, 2);               // block align
    putLE(h + 34, 16, 2);              // bits per sample
    std::memcpy(h + 36, "data", 4);
    putLE(h + 40, capped(fileSize - 44), 4);
}

// A WAV file of seeded noise (splitmix64): it neither compresses nor deduplicates, unlike zeros.
int generate(const fs::path& file, std::int64_t mib, std::uint64_t seed) {
    Fd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.get() < 0) fail("cannot create " + file.string());
    std::vector<std::uint64_t> block((4u << 20) / sizeof(std::uint64_t));
    std::uint64_t state = seed;
    for (std::int64_t written = 0; written < mib; written += 4) {
        for (auto& word : block) {
            std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
        if (written == 0) wavHeader(reinterpret_cast<unsigned char*>(block.data()), static_cast<std::uint64_t>(mib) << 20);
        const std::int64_t chunk = std::min<std::int64_t>(4, mib - written) << 20;
        writeAll(out.get(), reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(chunk));
    }
    // On disk before anything is measured, so that no round competes with its write-back.
    if (::fdatasync(out.get()) != 0) fail(std::string("fdatasync: ") + std::strerror(errno));
    return 0;
}

// ---- measure ----------------------------------------------------------------------------------

// The child's own resource usage comes from wait4, so nothing else in this process counts.
// Disk blocks taken by the files under a folder, in KiB; what vanishes while it is read counts 0.
long diskKiB(const fs::path& root) {
    long kib = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        struct stat st{};
        if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) kib += static_cast<long>(st.st_blocks) / 2;
    }
    return kib;
}

// Samples the folder every few milliseconds until stopped and keeps the largest figure.
class DiskWatcher {
public:
    explicit DiskWatcher(const char* root) {
        if (!root || !*root) return;
        thread_ = std::jthread([this, dir = fs::path(root)](std::stop_token stop) {
            while (!stop.stop_requested()) {
                peak_ = std::max(peak_.load(), diskKiB(dir));
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    long stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
        return peak_;
    }

private:
    std::atomic<long> peak_{0};
    std::jthread thread_;
};

int measure(const fs::path& result, char** command) {
    DiskWatcher watcher(std::getenv("VHBR_BENCH_WATCH_DIR"));
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        ::execvp(command[0], command);
        std::fprintf(stderr, "vhbr-bench-tool: cannot run %s: %s\n", command[0], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) fail("wait4 failed");
    }
    const double wall = secondsSince(start);
    const auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    const double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    std::FILE* out = std::fopen(result.c_str(), "w");
    if (!out) fail("cannot write " + result.string());
    std::fprintf(out, "%.4f %.4f %ld %ld\n", wall, cpu, usage.ru_maxrss, watcher.stop());
    std::fclose(out);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// ---- HTTP helpers -----------------------------------------------------------------------------

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

size_t appendBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// One API exchange; the easy handle is reused so that the connection stays open between calls.
json postJson(CURL* easy, const std::string& url, const std::string& token, const json& body) {
    const std::string payload = body.dump();
    std::string reply;
    Slist headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!token.empty()) curl_slist_append(headers.get(), ("Authorization: Bearer " + token).c_str());
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
    const CURLcode code = curl_easy_perform(easy);
    if (code != CURLE_OK) fail(url + ": " + curl_easy_strerror(code));
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) fail(url + ": HTTP " + std::to_string(status) + " " + reply);
    return reply.empty() ? json::object() : json::parse(reply);
}

int presign(const std::string& apiUrl, const std::string& key) {
    Easy easy(curl_easy_init());
    std::printf("%s\n", postJson(easy.get(), apiUrl + "/__dev/presign", "", {{"objectKey", key}})
                            .at("url")
                            .get<std::string>()
                            .c_str());
    return 0;
}

// ---- ideal-multipart --------------------------------------------------------------------------

// One part PUT, read with pread straight from the source file: no part files, no extra copy.
struct PartTransfer {
    int source = -1;
    std::int64_t number = 0;
    off_t offset = 0;
    std::int64_t length = 0;
    std::int64_t sent = 0;
    std::string etag;
    Easy easy;
    Slist headers;

    static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<PartTransfer*>(user);
        const auto want = static_cast<size_t>(std::min<std::int64_t>(size * count, t->length - t->sent));
        for (;;) {
            const ssize_t n = ::pread(t->source, buffer, want, t->offset + t->sent);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return CURL_READFUNC_ABORT;
            t->sent += n;
            return static_cast<size_t>(n);
        }
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        std::string line(data, size * count);
        if (line.size() > 5 && ::strncasecmp(line.c_str(), "etag:", 5) == 0) {
            std::string value = line.substr(5);
            const auto first = value.find_first_not_of(" \t\"");
            const auto last = value.find_last_not_of(" \t\r\n\"");
            static_cast<PartTransfer*>(user)->etag =
                first == std::string::npos ? "" : value.substr(first, last - first + 1);
        }
        return size * count;
    }

    static size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

    void start(CURLM* multi, const std::string& url, const std::string& mimeType) {
        easy.reset(curl_easy_init());
        headers.reset(curl_slist_append(nullptr, ("Content-Type: " + mimeType).c_str()));
        curl_slist_append(headers.get(), "Expect:");
        CURL* e = easy.get();
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_PRIVATE, this);
        curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &PartTransfer::onRead);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
        curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &PartTransfer::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &PartTransfer::discard);
        curl_multi_add_handle(multi, e);
    }
};

int idealMultipart(const std::string& apiUrl, const std::string& token, const fs::path& file,
                   const std::string& mimeType) {
    Fd source(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (source.get() < 0 || ::fstat(source.get(), &st) != 0) fail("cannot open " + file.string());
    const std::int64_t size = st.st_size;
    const std::string name = file.filename().string();
    const std::int64_t partCount = vhbr::partCount(size);

    Easy api(curl_easy_init());
    const std::string tasks = apiUrl + "/api/new-task/v2/tasks";
    const std::string requestId = "bench-ideal-" + std::to_string(::getpid()) + "-" + name;
    const std::string taskId = postJson(api.get(), tasks, token,
                                        {{"clientRequestId", requestId},
                                         {"contract", {{"surface", "newTask"}, {"version", 2}}},
                                         {"sourceKind", "file"},
                                         {"intent", "subtitle"},
                                         {"sourceLanguage", "auto"},
                                         {"targetLanguage", "en"},
                                         {"media", {{"fileName", name}, {"fileSize", size}, {"mimeType", mimeType}}}})
                                   .at("id");
    const std::string taskUrl = tasks + "/" + taskId;
    const json session = postJson(api.get(), taskUrl + "/upload-session", token,
                                  {{"fileName", name}, {"fileType", mimeType}, {"fileSize", size}, {"useMultipart", true}});
    const std::string objectKey = session.at("objectKey"), uploadId = session.at("uploadId");
    const json urls = postJson(api.get(), taskUrl + "/upload-part-urls", token,
                               {{"objectKey", objectKey}, {"uploadId", uploadId}, {"totalParts", partCount}})
                          .at("presignedUrls");

    std::vector<PartTransfer> parts(static_cast<std::size_t>(partCount));
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kParallelParts);
    std::size_t next = 0, running = 0, done = 0;
    const auto startNext = [&] {
        PartTransfer& p = parts[next];
        p.source = source.get();
        p.number = static_cast<std::int64_t>(next) + 1;
        p.offset = static_cast<off_t>(next) * kPartBytes;
        p.length = std::min<std::int64_t>(kPartBytes, size - p.offset);
        p.start(multi, urls.at(next).get<std::string>(), mimeType);
        ++next;
        ++running;
    };
    while (next < parts.size() && running < static_cast<std::size_t>(kParallelParts)) startNext();
    while (done < parts.size()) {
        int active = 0;
        curl_multi_perform(multi, &active);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            PartTransfer* p = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &p);
            long status = 0;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            if (msg->data.result != CURLE_OK || status != 200)
                fail("part " + std::to_string(p->number) + " failed: " + curl_easy_strerror(msg->data.result) +
                     " HTTP " + std::to_string(status));
            curl_multi_remove_handle(multi, msg->easy_handle);
            p->easy.reset();
            --running;
            ++done;
            if (next < parts.size()) startNext();
        }
        if (done < parts.size()) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_cleanup(multi);

    json list = json::array();
    for (const auto& p : parts) list.push_back({{"ETag", p.etag}, {"PartNumber", p.number}});
    postJson(api.get(), taskUrl + "/complete-multipart-upload", token,
             {{"objectKey", objectKey}, {"uploadId", uploadId}, {"parts", list}});
    postJson(api.get(), taskUrl + "/upload-complete", token,
             {{"objectKey", objectKey}, {"fileName", name}, {"fileSize", size}, {"mimeType", mimeType}});
    std::printf("completed %s\n", taskId.c_str());
    return 0;
}

// ---- engine-put -------------------------------------------------------------------------------

// The request that the upload pipeline sends for a small file, timed inside the process so that
// it compares with curl's own transfer time, without either program's start-up.
int enginePut(const std::string& url, const fs::path& file, const std::string& mimeType) {
    vhbr::UrlSession session;
    Fd source(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) fail("cannot open " + file.string());
    vhbr::HttpRequest request;
    request.method = "PUT";
    request.url = url;
    request.headers = {{"Content-Type", mimeType}};
    // As the engine sends it: a range of the source's one descriptor.
    request.bodySlice = vhbr::HttpRequest::BodySlice{source.get(), 0, static_cast<std::int64_t>(fs::file_size(file))};
    request.maxReplyBytes = 0;
    const auto start = Clock::now();
    const auto response = session.perform(std::move(request));
    const double seconds = secondsSince(start);
    if (response.statusCode != 200) fail("HTTP " + std::to_string(response.statusCode));
    std::printf("%.4f\n", seconds);
    return 0;
}

// ---- launch -----------------------------------------------------------------------------------

void writeFileAtomically(const fs::path& file, const std::string& text) {
    const fs::path partial = file.string() + ".partial";
    std::ofstream(partial) << text;
    fs::rename(partial, file);
}

// The clock starts just before the fork, so both sides of a comparison pay for the same exec.
// The output is read as it comes (lines are timed when they arrive) and kept in LOG.
int launch(const fs::path& result, const std::string& text, const fs::path& log, char** command) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) fail("pipe failed");
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::execvp(command[0], command);
        std::fprintf(stderr, "vhbr-bench-tool: cannot run %s: %s\n", command[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    writeFileAtomically(result.string() + ".pid", std::to_string(pid) + "\n");
    std::FILE* out = std::fopen(log.c_str(), "a");
    std::FILE* in = ::fdopen(pipeFds[0], "r");
    if (!out || !in) fail("cannot open the log");
    bool found = false;
    char line[8192];
    // Ends when every process holding the output (the web engine's helpers too) is gone.
    while (std::fgets(line, sizeof line, in)) {
        if (!found && std::strstr(line, text.c_str())) {
            found = true;
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f\n", secondsSince(start));
            writeFileAtomically(result, seconds);
        }
        std::fputs(line, out);
        std::fflush(out);
    }
    std::fclose(in);
    std::fclose(out);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---- pss --------------------------------------------------------------------------------------

struct ProcessInfo {
    pid_t parent = 0;
    std::string name;
};

std::map<pid_t, ProcessInfo> processes() {
    std::map<pid_t, ProcessInfo> all;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;  // gone meanwhile
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
        const auto open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 1));
        std::string state;
        ProcessInfo info;
        rest >> state >> info.parent;
        info.name = text.substr(open + 1, close - open - 1);
        all[std::stoi(name)] = info;
    }
    return all;
}

// The physical pages a process maps (pagemap gives their frame numbers to root only; an empty
// list otherwise).
std::vector<std::uint64_t> framesOf(pid_t pid) {
    std::vector<std::uint64_t> frames;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream maps(dir + "/maps");
    Fd pagemap(::open((dir + "/pagemap").c_str(), O_RDONLY | O_CLOEXEC));
    if (pagemap.get() < 0) return frames;
    const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    std::string line;
    std::vector<std::uint64_t> entries;
    while (std::getline(maps, line)) {
        std::uint64_t from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64, &from, &to) != 2) continue;
        if (line.find("[vsyscall]") != std::string::npos) continue;
        entries.resize((to - from) / page);
        const auto bytes = static_cast<ssize_t>(entries.size() * sizeof(std::uint64_t));
        if (::pread(pagemap.get(), entries.data(), bytes, static_cast<off_t>(from / page * 8)) != bytes) continue;
        for (const auto entry : entries) {
            const std::uint64_t frame = entry & ((1ULL << 55) - 1);
            if ((entry >> 63) & 1 && frame != 0) frames.push_back(frame);
        }
    }
    return frames;
}

long pssKiB(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long value = 0;
    while (rollup >> key) {
        if (key == "Pss:" && rollup >> value) return value;
        rollup.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return -1;  // gone, or not readable
}

// The kernel's PSS shares a page among every process that maps it, here or anywhere else: another
// program with the same web engine running meanwhile lowers it. So the tree is also measured as
// if it ran alone, which is what PSS reports on a quiet machine: every page the tree maps counted
// once, shared among the tree's processes that map it ("alone").
// Prints "total_kib=N" (the kernel's PSS), "alone_kib=N" (0 where frame numbers are not readable),
// and per process "pss NAME PID PSS_KIB ALONE_KIB".
int pss(pid_t root) {
    const auto all = processes();
    std::vector<pid_t> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        for (const auto& [pid, info] : all)
            if (info.parent == tree[i]) tree.push_back(pid);
    }
    std::map<pid_t, std::vector<std::uint64_t>> frames;
    std::unordered_map<std::uint64_t, int> sharers;
    for (const pid_t pid : tree) {
        auto& own = frames[pid];
        own = framesOf(pid);
        std::sort(own.begin(), own.end());
        own.erase(std::unique(own.begin(), own.end()), own.end());
        for (const auto frame : own) ++sharers[frame];
    }
    const double pageKiB = static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024;
    long total = 0;
    double alone = 0;
    for (const pid_t pid : tree) {
        const long kib = pssKiB(pid);
        if (kib < 0) continue;
        double own = 0;
        for (const auto frame : frames[pid]) own += pageKiB / sharers[frame];
        const auto found = all.find(pid);
        std::printf("pss %s %d %ld %.0f\n", found == all.end() ? "?" : found->second.name.c_str(), pid, kib, own);
        total += kib;
        alone += own;
    }
    std::printf("total_kib=%ld\nalone_kib=%.0f\n", total, alone);
    return 0;
}

// What one finished upload keeps alive for the window's list, as the app holds it: the engine's
// model (completed, with its choices and file), the draft the manager keeps per upload, the list's
// change connection and speed record, and the row of texts the window draws from (built with the
// list's own text functions, the fields UploadList::rowOf fills). Only this process's RSS and heap
// are read, so the figure is the list's own share, without page views, notifications or logs.
// Not covered: the GTK widgets that draw the rows; bench/list-window measures those in the app.
struct FinishedUpload {
    std::shared_ptr<vhbr::UploadTaskModel> model;
    vhbr::UploadDraft draft;
    sigc::connection watch;
    vhbr::UploadRow row;
};

long rssKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long heapBytes() { return static_cast<long>(::mallinfo2().uordblks); }

FinishedUpload finishedUpload(int i) {
    FinishedUpload u;
    const std::string name = "Quarterly review meeting recording " + std::to_string(i + 1) + ".mp4";
    const std::int64_t size = 700'000'000 + i * 1'000'003LL;
    const std::filesystem::path file = "/home/someone/Videos/Meetings/2026/" + name;
    u.draft = {"draft-" + std::to_string(i), {file, name, size, "video/mp4", 3600.0 + i},
               vhbr::UploadIntent::translate, "en", "de"};
    u.model = std::make_shared<vhbr::UploadTaskModel>("request-" + std::to_string(i), name, size);
    u.model->setChoices({u.draft.intent, u.draft.sourceLanguage, u.draft.targetLanguage, file});
    u.model->setTaskID("task-" + std::to_string(1'000'000 + i));
    u.model->setProgress(1.0, size);
    u.model->setStatus(vhbr::UploadTaskStatus::completed(*u.model->taskID()));
    const auto& m = *u.model;
    u.row = {m.id(),
             m.fileName(),
             vhbr::UploadList::choicesText(m.choices()),
             m.progress(),
             vhbr::UploadList::amountText(m.bytesSent(), m.fileSize()),
             {},
             {},
             vhbr::UploadList::stateText(m.status()),
             vhbr::UploadList::actionsFor(m.status(), !m.choices().sourceFile.empty())};
    return u;
}

int listMemory(int count) {
    if (count < 1) throw std::invalid_argument("N must be at least 1");
    // One row built and dropped first, so that the code it runs is paged in and the list's static
    // tables (languages, action names) exist: the running app has paid for those already.
    (void)finishedUpload(-1);
    (void)rssKiB();
    ::malloc_trim(0);
    const long rssBefore = rssKiB();
    const long heapBefore = heapBytes();

    std::vector<FinishedUpload> uploads;
    std::map<std::string, vhbr::TransferRate> rates;
    uploads.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto upload = finishedUpload(i);
        auto& rate = rates[upload.model->id()];
        upload.watch = upload.model->changed.connect([&rate] { rate.reset(); });
        uploads.push_back(std::move(upload));
    }

    const long rssGrowth = rssKiB() - rssBefore;
    const long heapGrowth = heapBytes() - heapBefore;
    std::printf("list_rows=%d\nlist_rss_kib=%ld\nlist_heap_kib=%ld\nlist_heap_bytes_per_row=%ld\n", count,
                rssGrowth, heapGrowth / 1024, heapGrowth / count);
    return 0;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: vhbr-bench-tool generate FILE MIB SEED\n"
                 "       vhbr-bench-tool measure RESULT -- CMD [ARG...]\n"
                 "       vhbr-bench-tool presign API_URL KEY\n"
                 "       vhbr-bench-tool ideal-multipart API_URL TOKEN FILE MIME\n"
                 "       vhbr-bench-tool engine-put URL FILE MIME\n"
                 "       vhbr-bench-tool launch RESULT TEXT LOG -- CMD [ARG...]\n"
                 "       vhbr-bench-tool pss PID\n"
                 "       vhbr-bench-tool list-memory N\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage();
    const std::string command = argv[1];
    try {
        if (command == "generate" && argc == 5) return generate(argv[2], std::stoll(argv[3]), std::stoull(argv[4]));
        if (command == "measure" && argc >= 5 && std::strcmp(argv[3], "--") == 0) return measure(argv[2], argv + 4);
        if (command == "launch" && argc >= 7 && std::strcmp(argv[5], "--") == 0)
            return launch(argv[2], argv[3], argv[4], argv + 6);
        if (command == "pss" && argc == 3) return pss(std::stoi(argv[2]));
        if (command == "list-memory" && argc == 3) return listMemory(std::stoi(argv[2]));
        curl_global_init(CURL_GLOBAL_DEFAULT);
        if (command == "presign" && argc == 4) return presign(argv[2], argv[3]);
        if (command == "ideal-multipart" && argc == 6) return idealMultipart(argv[2], argv[3], argv[4], argv[5]);
        if (command == "engine-put" && argc == 5) return enginePut(argv[2], argv[3], argv[4]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vhbr-bench-tool %s: %s\n", command.c_str(), e.what());
        return 1;
    }
    usage();
}
