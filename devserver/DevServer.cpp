#include "DevServer.hpp"

#include "JsonSchema.hpp"
#include "TaskFiles.hpp"
#include "WebApp.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <thread>

namespace vhbr::dev {
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr auto kPresignTtl = std::chrono::hours(1);
constexpr int kMaxParts = 10000;

void sendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

std::optional<int> parseInt(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string nonEmpty(const json& body, const char* key) {
    const std::string value = body.at(key);
    if (value.empty()) throw HttpError(400, std::string("\"") + key + "\" must not be empty");
    return value;
}

bool isBase64Url(const std::string& s) {
    return s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
}

// A file name made safe to be the last segment of an object key.
std::string keySegment(const std::string& fileName) {
    std::string out;
    for (unsigned char c : fileName.substr(0, 200))
        out += (std::isalnum(c) || c == '.' || c == '-' || c == '_') ? static_cast<char>(c) : '_';
    if (out.empty() || out.find_first_not_of('.') == std::string::npos) out = "file" + out;
    return out;
}

// httplib offers no way to abandon a connection from a handler, so find our end of it by its
// address pair and shut it down: the client then sees the connection close with no response at
// all. httplib's own attempt to write the response afterwards fails quietly (SIGPIPE is ignored).
void dropConnection(const httplib::Request& req) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        const auto fd = parseInt(entry.path().filename().string());
        if (!fd) continue;
        sockaddr_storage local{}, peer{};
        socklen_t len = sizeof local;
        if (::getsockname(*fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.ss_family != AF_INET) continue;
        len = sizeof peer;
        if (::getpeername(*fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
        const auto& l = reinterpret_cast<const sockaddr_in&>(local);
        const auto& p = reinterpret_cast<const sockaddr_in&>(peer);
        if (ntohs(l.sin_port) == req.local_port && ntohs(p.sin_port) == req.remote_port) {
            ::shutdown(*fd, SHUT_RDWR);
            return;
        }
    }
}

}  // namespace

DevServer::DevServer(const DevServerConfig& config)
    : config_(config),
      storage_(config.dataDir),
      presigner_(config.dataDir),
      tasks_(config.dataDir),
      logins_(config.dataDir, config.tokens, config.autoApprove, config.loginTtl) {
    // Enough workers that a dozen uploads with six parts each in flight never wait for a thread.
    svr_.new_task_queue = [] { return new httplib::ThreadPool(96); };
    svr_.set_payload_max_length(size_t{6} << 30);
    svr_.set_read_timeout(60);
    svr_.set_write_timeout(60);
    svr_.set_keep_alive_max_count(1000);
    // Headers and body go out in separate writes; with Nagle on, the body of a small reply
    // waits for the client's delayed ACK (40 ms on Linux) on every API call.
    svr_.set_tcp_nodelay(true);
    svr_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
            // Not a std::exception: nothing more to say than "internal error".
        }
        sendJson(res, 500, {{"message", what}});
    });
    svr_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) sendJson(res, res.status, {{"message", "status " + std::to_string(res.status)}});
    });
    routeApi();
    routeStorage();
    routeControl();
    routeUpdates();
    registerWebApp(svr_, logins_, tasks_);
    registerTaskFiles(svr_, tasks_, storage_, faults_);
}

int DevServer::bind(int port) {
    const int bound = port == 0 ? svr_.bind_to_any_port("127.0.0.1") : (svr_.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) throw std::runtime_error("could not bind 127.0.0.1:" + std::to_string(port));
    origin_ = "http://127.0.0.1:" + std::to_string(bound);
    port_ = bound;
    return bound;
}

void DevServer::run() {
    for (;;) {
        svr_.listen_after_bind();
        std::unique_lock lock(outageMutex_);
        if (!darkUntil_) return;  // stopped for good
        const auto until = *darkUntil_;
        lock.unlock();
        std::this_thread::sleep_until(until);
        // The same port again (the clients know no other); a moment's retry covers a socket that
        // the kernel has not quite let go of.
        bool bound = false;
        for (int attempt = 0; attempt < 50 && !bound; ++attempt) {
            bound = svr_.bind_to_port("127.0.0.1", port_);
            if (!bound) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        lock.lock();
        darkUntil_.reset();
        if (!bound) throw std::runtime_error("could not bind 127.0.0.1:" + std::to_string(port_) + " again");
    }
}

void DevServer::stop() {
    {
        std::lock_guard lock(outageMutex_);
        darkUntil_.reset();
    }
    svr_.stop();
}

void DevServer::goDark(std::chrono::milliseconds duration) {
    {
        std::lock_guard lock(outageMutex_);
        darkUntil_ = std::chrono::steady_clock::now() + duration;
    }
    // Not on the request's own thread: the server waits for its requests before it closes.
    std::thread([this] { svr_.stop(); }).detach();
}

void DevServer::stall(std::chrono::milliseconds duration) {
    stallUntil_ = (std::chrono::steady_clock::now() + duration).time_since_epoch().count();
}

void DevServer::waitWhileStalled() const {
    const std::chrono::steady_clock::time_point until{std::chrono::steady_clock::duration(stallUntil_.load())};
    if (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

bool DevServer::applyFault(const std::optional<Fault>& fault, const httplib::Request& req, httplib::Response& res,
                           const std::function<void()>& drainBody) {
    if (!fault) return false;
    if (fault->delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    if (!fault->interrupts()) return false;
    // A faulted PUT stores nothing; its body is read and thrown away so the client finishes sending.
    if (drainBody) drainBody();
    if (fault->drop) {
        dropConnection(req);
        return true;
    }
    res.status = *fault->status;
    if (fault->retryAfter) res.set_header("Retry-After", std::to_string(*fault->retryAfter));
    const bool isJson = json::accept(fault->body);
    res.set_content(fault->body, isJson ? "application/json" : "text/plain");
    return true;
}

namespace {

// The same URLs on a host whose name no resolver accepts: a label of 64 characters is refused
// before any query is sent, so the failure is immediate and never leaves the machine.
json withUnresolvableHost(json body) {
    const auto rewrite = [](json& url) {
        const std::string text = url.get<std::string>();
        const auto path = text.find('/', text.find("://") + 3);
        url = "https://" + std::string(64, 'a') + ".invalid" + (path == std::string::npos ? "" : text.substr(path));
    };
    if (body.contains("presignedURL")) rewrite(body["presignedURL"]);
    if (body.contains("presignedUrls"))
        for (auto& url : body["presignedUrls"]) rewrite(url);
    return body;
}

}  // namespace

void DevServer::api(const std::string& pattern, const std::string& route, bool bearer, ApiFn fn) {
    svr_.Post(pattern, [this, route, bearer, fn](const httplib::Request& req, httplib::Response& res) {
        const auto fault = faults_.onRequest(route);
        if (applyFault(fault, req, res, nullptr)) return;
        if (bearer) {
            const std::string auth = req.get_header_value("Authorization");
            if (auth.rfind("Bearer ", 0) != 0 || !logins_.userForToken(auth.substr(7)))
                return sendJson(res, 401, {{"error", "A valid bearer token is required."}});
        }
        try {
            const std::string type = req.get_header_value("Content-Type");
            if (type.rfind("application/json", 0) != 0) throw HttpError(415, "Content-Type must be application/json");
            const json body = json::parse(req.body, nullptr, false);
            if (body.is_discarded()) throw HttpError(400, "body is not valid JSON");
            const Reply reply = fn(req, body);
            sendJson(res, reply.status, fault && fault->badHost ? withUnresolvableHost(reply.body) : reply.body);
        } catch (const HttpError& e) {
            sendJson(res, e.status, {{"message", e.what()}});
        }
    });
}

void DevServer::routeApi() {
    api("/desktop-login/start", "login-start", false, [this](const httplib::Request&, const json& body) {
        checkObject(body, {{"codeChallenge", Kind::String}});
        const std::string challenge = body["codeChallenge"];
        if (challenge.size() != 43 || !isBase64Url(challenge))
            throw HttpError(400, "codeChallenge must be 43 characters of unpadded base64url");
        const Login login = logins_.start(challenge);
        return Reply{200, {{"nonce", login.nonce}, {"expiresAt", isoTime(login.expiresAtMs)}}};
    });
    api("/desktop-login/claim", "login-claim", false, [this](const httplib::Request&, const json& body) {
        checkObject(body, {{"nonce", Kind::String}, {"codeVerifier", Kind::String}});
        const std::string verifier = body["codeVerifier"];
        if (verifier.size() < 43 || verifier.size() > 128 ||
            verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~") !=
                std::string::npos)
            throw HttpError(400, "codeVerifier must be 43 to 128 unreserved characters");
        const auto claim = logins_.claim(body["nonce"], verifier);
        if (claim.status == 200) return Reply{200, {{"token", claim.token}}};
        if (claim.status == 202) return Reply{202, {{"status", "pending"}}};
        return Reply{claim.status, {{"message", claim.message}}};
    });
    api("/api/new-task/v2/tasks", "create-task", true,
        [this](const httplib::Request&, const json& body) { return createTask(body); });
    api(R"(/api/new-task/v2/tasks/([^/]+)/upload-session)", "upload-session", true,
        [this](const httplib::Request& req, const json& body) { return uploadSession(req.matches[1], body); });
    api(R"(/api/new-task/v2/tasks/([^/]+)/upload-part-urls)", "upload-part-urls", true,
        [this](const httplib::Request& req, const json& body) { return uploadPartUrls(req.matches[1], body); });
    api(R"(/api/new-task/v2/tasks/([^/]+)/complete-multipart-upload)", "complete-multipart-upload", true,
        [this](const httplib::Request& req, const json& body) { return completeMultipart(req.matches[1], body); });
    api(R"(/api/new-task/v2/tasks/([^/]+)/upload-complete)", "upload-complete", true,
        [this](const httplib::Request& req, const json& body) { return uploadComplete(req.matches[1], body); });
    api("/api/new-task/v2/staged-upload-cleanup", "staged-upload-cleanup", true,
        [this](const httplib::Request&, const json& body) { return stagedCleanup(body); });
}

Task DevServer::requireTask(const std::string& taskId) const {
    auto task = tasks_.task(taskId);
    if (!task) throw HttpError(404, "No task " + taskId + ".");
    return *task;
}

MultipartUpload DevServer::requireUpload(const Task& task, const std::string& objectKey,
                                         const std::string& uploadId) const {
    const auto upload = tasks_.upload(uploadId);
    if (!upload || upload->taskId != task.id) throw HttpError(404, "No multipart upload " + uploadId + " for this task.");
    if (upload->objectKey != objectKey) throw HttpError(400, "objectKey does not match the multipart upload");
    return *upload;
}

DevServer::Reply DevServer::createTask(const json& body) {
    checkObject(body, {{"clientRequestId", Kind::String},
                       {"contract", Kind::Object},
                       {"sourceKind", Kind::String},
                       {"intent", Kind::String},
                       {"sourceLanguage", Kind::String},
                       {"targetLanguage", Kind::String},
                       {"media", Kind::Object}});
    checkObject(body["contract"], {{"surface", Kind::String}, {"version", Kind::Integer}}, "contract");
    checkObject(body["media"],
                {{"fileName", Kind::String},
                 {"fileSize", Kind::Integer},
                 {"mimeType", Kind::String},
                 {"durationHint", Kind::Number, false}},
                "media");
    nonEmpty(body, "clientRequestId");
    nonEmpty(body, "sourceLanguage");
    nonEmpty(body, "targetLanguage");
    nonEmpty(body["media"], "fileName");
    nonEmpty(body["media"], "mimeType");
    if (body["contract"]["surface"] != "newTask" || body["contract"]["version"] != 2)
        throw HttpError(400, "contract must be {\"surface\": \"newTask\", \"version\": 2}");
    if (body["sourceKind"] != "file") throw HttpError(400, "sourceKind must be \"file\"");
    if (body["intent"] != "subtitle" && body["intent"] != "translate")
        throw HttpError(400, "intent must be \"subtitle\" or \"translate\"");
    if (body["media"]["fileSize"].get<std::int64_t>() < 0) throw HttpError(400, "media.fileSize must not be negative");
    if (const auto d = body["media"].find("durationHint"); d != body["media"].end() && !(d->get<double>() >= 0))
        throw HttpError(400, "media.durationHint must not be negative");
    const auto [task, reused] = tasks_.createOrReuse(body);
    return {200, {{"id", task.id}, {"reused", reused}, {"status", task.status}}};
}

DevServer::Reply DevServer::uploadSession(const std::string& taskId, const json& body) {
    checkObject(body, {{"fileName", Kind::String},
                       {"fileType", Kind::String},
                       {"fileSize", Kind::Integer},
                       {"useMultipart", Kind::Boolean}});
    const std::string fileName = nonEmpty(body, "fileName");
    const std::string fileType = nonEmpty(body, "fileType");
    if (body["fileSize"].get<std::int64_t>() < 0) throw HttpError(400, "fileSize must not be negative");
    const Task task = requireTask(taskId);
    if (task.uploadComplete) throw HttpError(409, "The upload of this task is already complete.");
    const std::string key = "uploads/" + task.id + "/" + keySegment(fileName);
    tasks_.modify(task.id, [&](Task& t) { t.objectKey = key; });
    if (body["useMultipart"].get<bool>()) {
        const auto upload = tasks_.beginUpload(task.id, key, fileType);
        return {200, {{"uploadId", upload.uploadId}, {"objectKey", key}}};
    }
    return {200,
            {{"presignedURL", presigner_.url(origin_, {key, "", 0, fileType}, kPresignTtl)},
             {"objectKey", key},
             {"expiresAt", isoNow(kPresignTtl)}}};
}

DevServer::Reply DevServer::uploadPartUrls(const std::string& taskId, const json& body) {
    checkObject(body, {{"objectKey", Kind::String}, {"uploadId", Kind::String}, {"totalParts", Kind::Integer}});
    const auto total = body["totalParts"].get<std::int64_t>();
    if (total < 1 || total > kMaxParts) throw HttpError(400, "totalParts must be 1 to 10000");
    const Task task = requireTask(taskId);
    if (task.uploadComplete) throw HttpError(409, "The upload of this task is already complete.");
    const auto upload = requireUpload(task, body["objectKey"], body["uploadId"]);
    json urls = json::array();
    for (int n = 1; n <= total; ++n)
        urls.push_back(
            presigner_.url(origin_, {upload.objectKey, upload.uploadId, n, upload.contentType}, config_.partUrlTtl));
    return {200, {{"presignedUrls", urls}}};
}

DevServer::Reply DevServer::completeMultipart(const std::string& taskId, const json& body) {
    checkObject(body, {{"objectKey", Kind::String}, {"uploadId", Kind::String}, {"parts", Kind::Array}});
    const json& parts = body["parts"];
    if (parts.empty()) throw HttpError(400, "parts must list at least one part");
    for (size_t i = 0; i < parts.size(); ++i)
        checkObject(parts[i], {{"ETag", Kind::String}, {"PartNumber", Kind::Integer}},
                    "parts[" + std::to_string(i) + "]");
    const Task task = requireTask(taskId);
    const auto request = json{{"taskId", task.id}, {"body", body}};
    {
        std::lock_guard lock(completedMutex_);
        if (const auto done = completed_.find(body["uploadId"]); done != completed_.end() && done->second.first == request)
            return done->second.second;
    }
    const auto upload = requireUpload(task, body["objectKey"], body["uploadId"]);
    std::vector<int> numbers;
    for (size_t i = 0; i < parts.size(); ++i) {
        const auto n = parts[i]["PartNumber"].get<std::int64_t>();
        if (n < 1 || n > kMaxParts || (!numbers.empty() && n <= numbers.back()))
            throw HttpError(400, "PartNumber values must be 1 to 10000 in ascending order");
        std::string etag = parts[i]["ETag"];
        if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
        const auto stored = storage_.partEtag(upload.uploadId, static_cast<int>(n));
        if (!stored) throw HttpError(400, "Part " + std::to_string(n) + " was never uploaded.");
        if (*stored != etag) throw HttpError(400, "Part " + std::to_string(n) + " has a different ETag.");
        numbers.push_back(static_cast<int>(n));
    }
    // Whoever ends the upload first assembles it; a concurrent or different second complete finds
    // it gone, as with S3.
    if (!tasks_.endUpload(upload.uploadId)) throw HttpError(404, "No multipart upload " + upload.uploadId + ".");
    const ObjectInfo info = storage_.assemble(upload.uploadId, numbers, upload.objectKey);
    tasks_.recordObject(upload.objectKey, info);
    storage_.discardUpload(upload.uploadId);
    const Reply reply{200, {{"objectKey", upload.objectKey}, {"ETag", info.etag}, {"size", info.size}}};
    std::lock_guard lock(completedMutex_);
    completed_[upload.uploadId] = {request, reply};
    return reply;
}

DevServer::Reply DevServer::uploadComplete(const std::string& taskId, const json& body) {
    checkObject(body, {{"objectKey", Kind::String},
                       {"r2ObjectUrl", Kind::String, false},
                       {"fileName", Kind::String},
                       {"fileSize", Kind::Integer},
                       {"mimeType", Kind::String},
                       {"videoDuration", Kind::Number, false}});
    nonEmpty(body, "fileName");
    nonEmpty(body, "mimeType");
    const Task task = requireTask(taskId);
    const std::string key = body["objectKey"];
    if (key != task.objectKey) throw HttpError(400, "objectKey does not belong to this task");
    const auto size = storage_.objectSize(key);
    if (!size) throw HttpError(400, "The object " + key + " was not uploaded.");
    if (static_cast<std::int64_t>(*size) != body["fileSize"].get<std::int64_t>())
        throw HttpError(400, "The object has " + std::to_string(*size) + " bytes, not " + body["fileSize"].dump() + ".");
    tasks_.modify(task.id, [](Task& t) {
        t.uploadComplete = true;
        t.status = "processing";
    });
    return {200, {{"id", task.id}, {"status", "processing"}}};
}

DevServer::Reply DevServer::stagedCleanup(const json& body) {
    checkObject(body, {{"taskId", Kind::String, false}, {"objectKey", Kind::String, false},
                       {"uploadId", Kind::String, false}});
    bool discardedUpload = false, discardedObject = false;
    if (body.contains("uploadId") && tasks_.endUpload(body["uploadId"])) {
        storage_.discardUpload(body["uploadId"]);
        discardedUpload = true;
    }
    if (body.contains("objectKey")) {
        // Only an object still staged for some task goes; accepted media stays.
        const std::string key = body["objectKey"];
        for (const auto& t : tasks_.tasks()) {
            if (t.objectKey != key || t.uploadComplete || !Storage::isSafeKey(key)) continue;
            storage_.removeObject(key);
            tasks_.forgetObject(key);
            discardedObject = true;
        }
    }
    return {200, {{"discardedUpload", discardedUpload}, {"discardedObject", discardedObject}}};
}

void DevServer::routeStorage() {
    svr_.Put(R"(/storage/(.+))", [this](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) { storagePut(req, res, reader); });
}

void DevServer::storagePut(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    const std::string key = req.matches[1];
    const bool isPart = req.has_param("uploadId") || req.has_param("partNumber");
    const auto partNumber = isPart ? parseInt(req.get_param_value("partNumber")) : std::nullopt;
    const std::string uploadId = req.get_param_value("uploadId");
    // In flight from its arrival to its answer, so that a delayed part counts as in flight too.
    struct InFlight {
        FaultInjector* faults;
        const std::string& uploadId;
        ~InFlight() {
            if (faults) faults->partPutEnds(uploadId);
        }
    } inFlight{isPart ? &faults_ : nullptr, uploadId};
    if (isPart) faults_.partPutBegins(uploadId);
    bool drained = false;
    const auto drain = [&] {
        if (!drained) reader([](const char*, size_t) { return true; });
        drained = true;
    };
    if (applyFault(faults_.onRequest(isPart ? "part-put" : "object-put", partNumber), req, res, drain)) return;
    const auto refuse = [&](int status, const std::string& message) {
        drain();
        sendJson(res, status, {{"message", message}});
    };
    if (!Storage::isSafeKey(key)) return refuse(400, "Invalid object key.");
    PresignTarget target{key, uploadId, partNumber.value_or(0), req.get_param_value("X-Vhbr-Content-Type")};
    if (isPart && (!partNumber || *partNumber < 1 || *partNumber > kMaxParts || target.uploadId.empty()))
        return refuse(400, "uploadId and partNumber (1 to 10000) are required for a part.");
    switch (presigner_.verify(target, req.get_param_value("X-Vhbr-Expires"), req.get_param_value("X-Vhbr-Signature"))) {
    case Presigner::Verdict::Valid: break;
    case Presigner::Verdict::Expired: return refuse(403, "Request has expired.");
    case Presigner::Verdict::BadSignature: return refuse(403, "The request signature does not match.");
    }
    // The URL is the credential: a bearer token sent along would leak to whoever stores the object.
    if (req.has_header("Authorization")) return refuse(400, "A presigned request takes no Authorization header.");
    const std::string type = req.get_header_value("Content-Type");
    if (!target.contentType.empty() && type != target.contentType)
        return refuse(400, "Content-Type must be " + target.contentType + " as signed, not \"" + type + "\".");
    const auto stillOpen = [&] {
        const auto upload = tasks_.upload(target.uploadId);
        return upload && upload->objectKey == key;
    };
    if (isPart && !stillOpen()) return refuse(404, "No such multipart upload.");

    auto writer = storage_.newWriter();
    bool writeOk = true;
    drained = true;
    const bool readOk = reader([&](const char* data, size_t size) {
        waitWhileStalled();  // a body on its way stops moving too
        return writeOk = writer->write(data, size);
    });
    if (!readOk || !writeOk) return sendJson(res, writeOk ? 400 : 500, {{"message", "The body could not be stored."}});
    const ObjectInfo info = writer->finish();
    if (isPart) {
        if (!stillOpen()) return sendJson(res, 404, {{"message", "No such multipart upload."}});
        storage_.commitPart(*writer, info, target.uploadId, target.partNumber);
    } else {
        storage_.commitObject(*writer, key);
        tasks_.recordObject(key, info);
    }
    res.status = 200;
    res.set_header("ETag", "\"" + info.etag + "\"");
}

// The update feed and its packages: whatever the test put in <data>/updates (it signs them with
// vhbr-sign-update and a key pair made for the run), served as plain files.
void DevServer::routeUpdates() {
    const fs::path dir = config_.dataDir / "updates";
    fs::create_directories(dir);
    svr_.set_mount_point("/updates", dir.string());
    svr_.set_file_extension_and_mimetype_mapping("xml", "application/rss+xml");
    svr_.set_file_extension_and_mimetype_mapping("deb", "application/vnd.debian.binary-package");
}

void DevServer::routeControl() {
    // The control endpoints steer the whole service. A web page could reach them through a name of
    // its own that resolves to 127.0.0.1 (DNS rebinding) while the demo runs; its requests carry
    // that name as Host, so only this server's own address and port are answered.
    svr_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/__dev/", 0) != 0) {
            waitWhileStalled();  // a stalled service answers nothing but its controls
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const std::string host = req.get_header_value("Host");
        const std::string port = origin_.substr(origin_.rfind(':'));
        if (host == "127.0.0.1" + port || host == "localhost" + port) return httplib::Server::HandlerResponse::Unhandled;
        sendJson(res, 403, {{"message", "Control requests must be addressed to " + origin_ + "."}});
        return httplib::Server::HandlerResponse::Handled;
    });
    svr_.Get("/__dev/stats", [this](const httplib::Request&, httplib::Response& res) {
        sendJson(res, 200, faults_.stats());
    });
    svr_.Get("/__dev/tasks", [this](const httplib::Request&, httplib::Response& res) {
        json out = json::array();
        for (const auto& t : tasks_.tasks()) {
            json j{{"id", t.id},
                   {"clientRequestId", t.clientRequestId},
                   {"status", t.status},
                   {"fileName", t.request["media"]["fileName"]},
                   {"fileSize", t.request["media"]["fileSize"]},
                   {"uploadComplete", t.uploadComplete},
                   {"createdAt", t.createdAt},
                   {"request", t.request}};
            if (!t.objectKey.empty()) {
                j["objectKey"] = t.objectKey;
                if (auto o = tasks_.object(t.objectKey)) {
                    if (o->sha256.empty()) {
                        // Hashed on the first request for it rather than during every upload.
                        if (const auto sha = storage_.objectSha256(t.objectKey)) {
                            o->sha256 = *sha;
                            tasks_.recordObject(t.objectKey, *o);
                        }
                    }
                    j["sha256"] = o->sha256;
                    j["objectSize"] = o->size;
                    j["etag"] = o->etag;
                }
            }
            out.push_back(j);
        }
        sendJson(res, 200, out);
    });
    svr_.Get("/__dev/logins", [this](const httplib::Request&, httplib::Response& res) {
        json out = json::array();
        for (const auto& l : logins_.logins()) out.push_back({{"nonce", l.nonce}, {"state", l.state}});
        sendJson(res, 200, out);
    });
    const auto control = [this](const std::string& path, std::function<json(const json&)> fn) {
        svr_.Post(path, [fn](const httplib::Request& req, httplib::Response& res) {
            try {
                const json body = req.body.empty() ? json::object() : json::parse(req.body, nullptr, false);
                if (body.is_discarded()) throw HttpError(400, "body is not valid JSON");
                sendJson(res, 200, fn(body));
            } catch (const HttpError& e) {
                sendJson(res, e.status, {{"message", e.what()}});
            }
        });
    };
    for (const bool approve : {true, false}) {
        control(approve ? "/__dev/login/approve" : "/__dev/login/reject", [this, approve](const json& body) {
            checkObject(body, {{"nonce", Kind::String}});
            const int status = logins_.decide(body["nonce"], approve, LoginStore::developer());
            if (status != 200) throw HttpError(status, "Cannot decide sign-in request (status " + std::to_string(status) + ").");
            return json{{"nonce", body["nonce"]}, {"state", approve ? "approved" : "rejected"}};
        });
    }
    control("/__dev/faults", [this](const json& body) {
        faults_.arm(FaultInjector::parse(body));
        return json{{"armed", true}};
    });
    control("/__dev/presign", [this](const json& body) {
        checkObject(body, {{"objectKey", Kind::String},
                           {"expiresInSeconds", Kind::Integer, false},
                           {"contentType", Kind::String, false}});
        const std::string key = body["objectKey"];
        if (!Storage::isSafeKey(key)) throw HttpError(400, "Invalid object key.");
        const std::chrono::seconds ttl(body.value("expiresInSeconds", std::int64_t{3600}));
        return json{{"url", presigner_.url(origin_, {key, "", 0, body.value("contentType", "")}, ttl)}};
    });
    // {"lifetimeMs": N}: tokens expire N ms after they are issued (none: never); {} issues nothing.
    control("/__dev/token-lifetime", [this](const json& body) {
        checkObject(body, {{"lifetimeMs", Kind::Integer, false}});
        if (body.contains("lifetimeMs"))
            logins_.setTokenLifetime(std::chrono::milliseconds(body["lifetimeMs"].get<std::int64_t>()));
        else
            logins_.setTokenLifetime(std::nullopt);
        return json{{"lifetimeMs", body.value("lifetimeMs", json())}};
    });
    // A fresh token of the developer's, as a token provider would hand out.
    control("/__dev/token", [this](const json&) { return json{{"token", logins_.signIn("dev@localhost")}}; });
    // {"kind": "dark" | "stall", "ms": N}: see goDark and stall.
    control("/__dev/outage", [this](const json& body) {
        checkObject(body, {{"kind", Kind::String}, {"ms", Kind::Integer}});
        const auto ms = body["ms"].get<std::int64_t>();
        if (ms < 1 || ms > 600'000) throw HttpError(400, "ms must be 1 to 600000");
        const std::string kind = body["kind"];
        if (kind == "dark")
            goDark(std::chrono::milliseconds(ms));
        else if (kind == "stall")
            stall(std::chrono::milliseconds(ms));
        else
            throw HttpError(400, "kind must be \"dark\" or \"stall\"");
        return json{{"outage", kind}};
    });
    control("/__dev/reset", [this](const json&) {
        faults_.reset();
        stallUntil_ = 0;
        logins_.setTokenLifetime(std::nullopt);
        return json{{"reset", true}};
    });
    control("/__dev/task-status", [this](const json& body) {
        checkObject(body, {{"id", Kind::String}, {"status", Kind::String}});
        if (!tasks_.modify(body["id"], [&](Task& t) { t.status = body["status"]; })) throw HttpError(404, "No such task.");
        return json{{"id", body["id"]}, {"status", body["status"]}};
    });
}

}  // namespace vhbr::dev
