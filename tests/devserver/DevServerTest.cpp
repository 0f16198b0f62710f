// The local service checked from outside, as the app and the other suites see it.
#include "DevServer.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

namespace vhbr::test {
namespace {

using nlohmann::json;

json createBody(const std::string& clientRequestId, std::int64_t size) {
    return {{"clientRequestId", clientRequestId},
            {"contract", {{"surface", "newTask"}, {"version", 2}}},
            {"sourceKind", "file"},
            {"intent", "subtitle"},
            {"sourceLanguage", "en"},
            {"targetLanguage", "de"},
            {"media", {{"fileName", "clip one.mp4"}, {"fileSize", size}, {"mimeType", "video/mp4"}}}};
}

// Talks to the service the way the app does: JSON POSTs with a bearer token, raw PUTs to URLs.
class Service {
public:
    explicit Service(DevServer& server) : server_(server), client_("127.0.0.1", server.port()) {}

    httplib::Result post(const std::string& path, const json& body, const std::string& token = "test-token") {
        httplib::Headers headers{{"Accept", "application/json"}};
        if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
        return client_.Post(path, headers, body.dump(), "application/json");
    }
    json ok(const std::string& path, const json& body) {
        auto res = post(path, body);
        EXPECT_TRUE(res) << path;
        if (!res) return {};
        EXPECT_EQ(res->status, 200) << path << " " << res->body;
        return json::parse(res->body, nullptr, false);
    }
    httplib::Result put(const std::string& url, const std::string& body) {
        const std::string target = url.substr(server_.baseUrl().size());
        return client_.Put(target, body, "video/mp4");
    }
    std::string createTask(const std::string& clientRequestId, std::int64_t size) {
        return ok("/api/new-task/v2/tasks", createBody(clientRequestId, size))["id"];
    }
    static std::string taskPath(const std::string& id, const std::string& step) {
        return "/api/new-task/v2/tasks/" + id + "/" + step;
    }

private:
    DevServer& server_;
    httplib::Client client_;
};

TEST(DevServerStorage, PresignedPutChecksSignatureAndExpiry) {
    DevServer server;
    Service api(server);
    const std::string url = server.presign("bench/sample.bin");
    const std::string expired = server.post("/__dev/presign", {{"objectKey", "bench/sample.bin"}, {"expiresInSeconds", -1}})["url"];
    std::string tampered = url;
    tampered.back() = tampered.back() == '0' ? '1' : '0';
    std::string otherKey = url;
    otherKey.replace(otherKey.find("sample"), 6, "simple");

    const struct {
        std::string name, url;
        int status;
    } cases[] = {{"valid", url, 200},
                 {"tampered signature", tampered, 403},
                 {"other key", otherKey, 403},
                 {"expired", expired, 403},
                 {"unsigned", server.baseUrl() + "/storage/bench/sample.bin", 403}};
    for (const auto& c : cases) {
        auto res = api.put(c.url, "hello");
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, c.status) << c.name << ": " << res->body;
    }
    auto res = api.put(url, "hello");
    EXPECT_EQ(res->get_header_value("ETag"), "\"" + hexDigest(EVP_md5(), "hello") + "\"");
    std::ifstream stored(server.dataDir() / "objects/bench/sample.bin");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), "hello");
    EXPECT_EQ(server.requestCount("object-put"), 6);
}

TEST(DevServerApi, RequestBodiesAreValidatedStrictly) {
    DevServer server;
    Service api(server);
    const std::string id = api.createTask("mac-strict", 10);
    const auto with = [](json body, const json::json_pointer& at, const json& value) {
        body[at] = value;
        return body;
    };
    const auto without = [](json body, const json::json_pointer& at) {
        body[at.parent_pointer()].erase(at.back());
        return body;
    };
    const json create = createBody("mac-x", 10);
    const json complete{{"objectKey", "k"}, {"fileName", "a.mp4"}, {"fileSize", 10}, {"mimeType", "video/mp4"}};
    const struct {
        std::string name, path;
        json body;
    } cases[] = {
        {"missing key", "/api/new-task/v2/tasks", without(create, "/media/mimeType"_json_pointer)},
        {"string size", "/api/new-task/v2/tasks", with(create, "/media/fileSize"_json_pointer, "10")},
        {"fractional size", "/api/new-task/v2/tasks", with(create, "/media/fileSize"_json_pointer, 10.5)},
        {"null optional", "/api/new-task/v2/tasks", with(create, "/media/durationHint"_json_pointer, nullptr)},
        {"unknown key", "/api/new-task/v2/tasks", with(create, "/media/duration"_json_pointer, 1.0)},
        {"wrong contract", "/api/new-task/v2/tasks", with(create, "/contract/version"_json_pointer, 1)},
        {"wrong intent", "/api/new-task/v2/tasks", with(create, "/intent"_json_pointer, "dub")},
        {"not an object", "/api/new-task/v2/tasks", json::array()},
        {"session flag as string", Service::taskPath(id, "upload-session"),
         {{"fileName", "a.mp4"}, {"fileType", "video/mp4"}, {"fileSize", 10}, {"useMultipart", "false"}}},
        {"zero parts", Service::taskPath(id, "upload-part-urls"), {{"objectKey", "k"}, {"uploadId", "u"}, {"totalParts", 0}}},
        {"lower-case part keys", Service::taskPath(id, "complete-multipart-upload"),
         {{"objectKey", "k"}, {"uploadId", "u"}, {"parts", {{{"eTag", "x"}, {"partNumber", 1}}}}}},
        {"null r2ObjectUrl", Service::taskPath(id, "upload-complete"), with(complete, "/r2ObjectUrl"_json_pointer, nullptr)},
        {"cleanup null", "/api/new-task/v2/staged-upload-cleanup", {{"taskId", nullptr}}},
        {"short challenge", "/desktop-login/start", {{"codeChallenge", "abc"}}},
    };
    for (const auto& c : cases) {
        auto res = api.post(c.path, c.body);
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, 400) << c.name << ": " << res->body;
        EXPECT_TRUE(json::parse(res->body).at("message").is_string()) << c.name;
    }

    auto noToken = api.post("/api/new-task/v2/tasks", create, "");
    EXPECT_EQ(noToken->status, 401);
    EXPECT_TRUE(json::parse(noToken->body).at("error").is_string());
    EXPECT_EQ(api.post("/api/new-task/v2/tasks", create, "forged")->status, 401);
    httplib::Client raw("127.0.0.1", server.port());
    EXPECT_EQ(raw.Post("/api/new-task/v2/tasks", {{"Authorization", "Bearer test-token"}}, create.dump(), "text/plain")->status, 415);
    EXPECT_EQ(api.post("/api/new-task/v2/staged-upload-cleanup", json::object())->status, 200);
}

TEST(DevServerApi, TaskCreationIsIdempotentPerClientRequestId) {
    DevServer server;
    Service api(server);
    const json first = api.ok("/api/new-task/v2/tasks", createBody("mac-same", 10));
    const json second = api.ok("/api/new-task/v2/tasks", createBody("mac-same", 10));
    const json other = api.ok("/api/new-task/v2/tasks", createBody("mac-other", 10));
    EXPECT_EQ(first["reused"], false);
    EXPECT_EQ(second["reused"], true);
    EXPECT_EQ(first["id"], second["id"]);
    EXPECT_NE(first["id"], other["id"]);
    EXPECT_EQ(server.tasks().size(), 2u);
}

TEST(DevServerApi, MultipartUploadIsAssembledAndChecked) {
    DevServer server;
    Service api(server);
    const std::vector<std::string> parts{std::string(300000, 'a'), std::string(300000, 'b'), "tail"};
    const std::string whole = parts[0] + parts[1] + parts[2];
    const std::string id = api.createTask("mac-multi", static_cast<std::int64_t>(whole.size()));
    const json session = api.ok(Service::taskPath(id, "upload-session"),
                                {{"fileName", "clip one.mp4"}, {"fileType", "video/mp4"},
                                 {"fileSize", whole.size()}, {"useMultipart", true}});
    const std::string key = session["objectKey"], uploadId = session["uploadId"];
    const json urls = api.ok(Service::taskPath(id, "upload-part-urls"),
                             {{"objectKey", key}, {"uploadId", uploadId}, {"totalParts", 3}})["presignedUrls"];
    ASSERT_EQ(urls.size(), 3u);

    std::vector<std::string> etags(3);
    for (int i : {2, 0, 1}) {
        auto res = api.put(urls[i], parts[i]);
        ASSERT_EQ(res->status, 200);
        etags[i] = res->get_header_value("ETag");
        etags[i] = etags[i].substr(1, etags[i].size() - 2);
        EXPECT_EQ(etags[i], hexDigest(EVP_md5(), parts[i]));
    }
    const auto list = [&](std::vector<std::pair<int, std::string>> entries) {
        json out = json::array();
        for (const auto& [n, tag] : entries) out.push_back({{"ETag", tag}, {"PartNumber", n}});
        return json{{"objectKey", key}, {"uploadId", uploadId}, {"parts", out}};
    };
    const std::string completePath = Service::taskPath(id, "complete-multipart-upload");
    const struct {
        std::string name;
        json body;
    } bad[] = {{"wrong etag", list({{1, etags[0]}, {2, etags[0]}, {3, etags[2]}})},
               {"descending", list({{2, etags[1]}, {1, etags[0]}, {3, etags[2]}})},
               {"part never sent", list({{1, etags[0]}, {2, etags[1]}, {3, etags[2]}, {4, etags[2]}})},
               {"no parts", list({})}};
    for (const auto& c : bad) EXPECT_EQ(api.post(completePath, c.body)->status, 400) << c.name;

    // Before assembly there is no object to accept.
    const json done{{"objectKey", key}, {"fileName", "clip one.mp4"}, {"fileSize", whole.size()}, {"mimeType", "video/mp4"}};
    EXPECT_EQ(api.post(Service::taskPath(id, "upload-complete"), done)->status, 400);

    const json assembled = api.ok(completePath, list({{1, etags[0]}, {2, etags[1]}, {3, etags[2]}}));
    // A client that lost the reply asks again and gets the same answer; another request finds no upload.
    EXPECT_EQ(api.ok(completePath, list({{1, etags[0]}, {2, etags[1]}, {3, etags[2]}})), assembled);
    EXPECT_EQ(api.post(completePath, list({{1, etags[0]}, {2, etags[1]}}))->status, 404);
    EXPECT_FALSE(std::filesystem::exists(server.dataDir() / "multipart" / uploadId));

    json wrongSize = done;
    wrongSize["fileSize"] = whole.size() + 1;
    EXPECT_EQ(api.post(Service::taskPath(id, "upload-complete"), wrongSize)->status, 400);
    api.ok(Service::taskPath(id, "upload-complete"), done);
    const json task = server.tasks().at(0);
    EXPECT_EQ(task["status"], "processing");
    EXPECT_EQ(task["uploadComplete"], true);
    EXPECT_EQ(task["objectKey"], key);
    EXPECT_EQ(task["sha256"], hexDigest(EVP_sha256(), whole));
}

TEST(DevServerApi, StagedUploadCleanupDiscardsOpenUploads) {
    DevServer server;
    Service api(server);
    const std::string id = api.createTask("mac-clean", 4);
    const json session = api.ok(Service::taskPath(id, "upload-session"),
                                {{"fileName", "a.mp4"}, {"fileType", "video/mp4"}, {"fileSize", 4}, {"useMultipart", true}});
    const json urls = api.ok(Service::taskPath(id, "upload-part-urls"),
                             {{"objectKey", session["objectKey"]}, {"uploadId", session["uploadId"]}, {"totalParts", 1}});
    ASSERT_EQ(api.put(urls["presignedUrls"][0], "data")->status, 200);
    const json result = api.ok("/api/new-task/v2/staged-upload-cleanup",
                               {{"taskId", id}, {"objectKey", session["objectKey"]}, {"uploadId", session["uploadId"]}});
    EXPECT_EQ(result["discardedUpload"], true);
    EXPECT_EQ(api.put(urls["presignedUrls"][0], "data")->status, 404);
}

struct Pkce {
    std::string verifier = std::string(43, 'v');
    std::string challenge() const {
        unsigned char md[32];
        unsigned int len = 0;
        EVP_Digest(verifier.data(), verifier.size(), md, &len, EVP_sha256(), nullptr);
        std::string b64(45, '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), md, 32);
        b64.resize(43);  // 32 bytes: 43 characters before the one "=" of padding
        for (auto& c : b64) c = c == '+' ? '-' : c == '/' ? '_' : c;
        return b64;
    }
};

TEST(DevServerLogin, ClaimFollowsTheApprovalStateMachine) {
    DevServer server;
    Service api(server);
    const Pkce pkce;
    const auto start = [&] {
        return api.ok("/desktop-login/start", {{"codeChallenge", pkce.challenge()}});
    };
    const auto claim = [&](const std::string& nonce, const std::string& verifier) {
        return api.post("/desktop-login/claim", {{"nonce", nonce}, {"codeVerifier", verifier}}, "");
    };

    const json started = start();
    EXPECT_TRUE(std::regex_match(started["expiresAt"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    const std::string nonce = started["nonce"];
    EXPECT_EQ(server.latestLoginNonce(), nonce);
    EXPECT_EQ(claim(nonce, pkce.verifier)->status, 202);
    EXPECT_EQ(claim(nonce, std::string(43, 'w'))->status, 403);
    EXPECT_EQ(claim("no-such-nonce", pkce.verifier)->status, 404);
    server.approveLogin(nonce);
    auto approved = claim(nonce, pkce.verifier);
    ASSERT_EQ(approved->status, 200);
    const std::string token = json::parse(approved->body)["token"];
    EXPECT_EQ(claim(nonce, pkce.verifier)->status, 410);  // a token is handed out once
    EXPECT_EQ(api.post("/api/new-task/v2/tasks", createBody("mac-login", 1), token)->status, 200);

    const std::string rejected = start()["nonce"];
    server.rejectLogin(rejected);
    EXPECT_EQ(claim(rejected, pkce.verifier)->status, 403);
    EXPECT_EQ(server.get("/__dev/logins").back()["state"], "rejected");
    EXPECT_EQ(server.requestCount("login-claim"), 6);
}

TEST(DevServerLogin, RequestsExpireAndCanBeApprovedAutomatically) {
    const Pkce pkce;
    const json startBody{{"codeChallenge", pkce.challenge()}};
    {
        DevServerOptions shortLived;
        shortLived.loginTtlSeconds = 1;
        DevServer server(shortLived);
        Service api(server);
        const std::string nonce = api.ok("/desktop-login/start", startBody)["nonce"];
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        EXPECT_EQ(api.post("/desktop-login/claim", {{"nonce", nonce}, {"codeVerifier", pkce.verifier}}, "")->status, 410);
    }
    DevServerOptions automatic;
    automatic.autoApprove = true;
    DevServer server(automatic);
    Service api(server);
    const std::string nonce = api.ok("/desktop-login/start", startBody)["nonce"];
    EXPECT_EQ(api.post("/desktop-login/claim", {{"nonce", nonce}, {"codeVerifier", pkce.verifier}}, "")->status, 200);
}

TEST(DevServerFaults, StatusDropDelayAndPartFaults) {
    DevServer server;
    Service api(server);
    server.fault({{"route", "create-task"}, {"times", 2}, {"status", 503}, {"body", R"({"message":"busy"})"}});
    for (int i = 0; i < 2; ++i) {
        auto res = api.post("/api/new-task/v2/tasks", createBody("mac-f", 1));
        EXPECT_EQ(res->status, 503);
        EXPECT_EQ(res->body, R"({"message":"busy"})");
    }
    EXPECT_EQ(api.post("/api/new-task/v2/tasks", createBody("mac-f", 1))->status, 200);

    server.fault({{"route", "create-task"}, {"drop", true}});
    auto dropped = api.post("/api/new-task/v2/tasks", createBody("mac-f", 1));
    EXPECT_FALSE(dropped) << "a dropped request must get no HTTP response";

    server.fault({{"route", "create-task"}, {"delayMs", 300}});
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(api.post("/api/new-task/v2/tasks", createBody("mac-f", 1))->status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));

    const std::string id = server.tasks().at(0)["id"];
    const json session = api.ok(Service::taskPath(id, "upload-session"),
                                {{"fileName", "a.mp4"}, {"fileType", "video/mp4"}, {"fileSize", 2}, {"useMultipart", true}});
    const json urls = api.ok(Service::taskPath(id, "upload-part-urls"),
                             {{"objectKey", session["objectKey"]}, {"uploadId", session["uploadId"]}, {"totalParts", 2}})["presignedUrls"];
    server.fault({{"route", "part-put"}, {"partNumber", 2}, {"status", 500}});
    server.fault({{"route", "part-put"}, {"partNumber", 2}, {"drop", true}});
    EXPECT_EQ(api.put(urls[0], "1")->status, 200);
    EXPECT_EQ(api.put(urls[1], "2")->status, 500);
    EXPECT_FALSE(api.put(urls[1], "2"));
    EXPECT_FALSE(std::filesystem::exists(server.dataDir() / "multipart" / session["uploadId"].get<std::string>() / "2"));
    EXPECT_EQ(api.put(urls[1], "2")->status, 200);

    EXPECT_EQ(server.requestCount("create-task"), 5);
    EXPECT_EQ(server.partPutCount(1), 1);
    EXPECT_EQ(server.partPutCount(2), 3);
    server.reset();
    EXPECT_EQ(server.requestCount("create-task"), 0);
    EXPECT_EQ(server.stats()["armedFaults"], 0);
}

TEST(DevServerStorage, ObjectKeysCannotLeaveTheDataFolder) {
    DevServer server;
    Service api(server);
    for (const char* key : {"../escape", "a/../../escape", "/abs", "a//b", "a/./b", "", "a\\b"}) {
        auto res = api.post("/__dev/presign", {{"objectKey", key}}, "");
        EXPECT_EQ(res->status, 400) << key;
    }
    // A forged PUT whose path climbs out is refused before its signature is even considered.
    httplib::Client raw("127.0.0.1", server.port());
    auto res = raw.Put("/storage/..%2F..%2Fescape?X-Vhbr-Expires=9999999999&X-Vhbr-Signature=00", "x", "video/mp4");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_FALSE(std::filesystem::exists(server.dataDir().parent_path() / "escape"));
    // Awkward but harmless names are encoded in the URL and stored as given.
    ASSERT_EQ(api.put(server.presign("dir/a b%.mp4"), "ok")->status, 200);
    EXPECT_TRUE(std::filesystem::exists(server.dataDir() / "objects/dir/a b%.mp4"));
}

TEST(DevServerState, RestartKeepsTasksTokensAndUploads) {
    DevServer server;
    Service api(server);
    const Pkce pkce;
    const std::string nonce = api.ok("/desktop-login/start", {{"codeChallenge", pkce.challenge()}})["nonce"];
    server.approveLogin(nonce);
    const std::string token = api.ok("/desktop-login/claim", {{"nonce", nonce}, {"codeVerifier", pkce.verifier}})["token"];
    const std::string id = api.createTask("mac-restart", 2);
    const json session = api.ok(Service::taskPath(id, "upload-session"),
                                {{"fileName", "a.mp4"}, {"fileType", "video/mp4"}, {"fileSize", 2}, {"useMultipart", true}});
    const std::string partUrl = api.ok(Service::taskPath(id, "upload-part-urls"),
                                       {{"objectKey", session["objectKey"]}, {"uploadId", session["uploadId"]},
                                        {"totalParts", 1}})["presignedUrls"][0];
    const std::string pathAndQuery = partUrl.substr(server.baseUrl().size());

    server.restart();
    Service again(server);
    EXPECT_EQ(again.post("/api/new-task/v2/tasks", createBody("mac-restart", 2), token)->status, 200);
    EXPECT_EQ(again.ok("/api/new-task/v2/tasks", createBody("mac-restart", 2))["id"], id);
    auto put = again.put(server.baseUrl() + pathAndQuery, "ok");
    ASSERT_EQ(put->status, 200);
    std::string etag = put->get_header_value("ETag");
    again.ok(Service::taskPath(id, "complete-multipart-upload"),
             {{"objectKey", session["objectKey"]}, {"uploadId", session["uploadId"]},
              {"parts", {{{"ETag", etag.substr(1, etag.size() - 2)}, {"PartNumber", 1}}}}});
    EXPECT_EQ(server.tasks().at(0)["sha256"], hexDigest(EVP_sha256(), "ok"));
}

// A page whose own host name resolves to 127.0.0.1 (DNS rebinding) must not steer the service.
TEST(DevServerControl, AnswersOnlyRequestsAddressedToItsOwnHost) {
    DevServer server;
    const std::string port = std::to_string(server.port());
    httplib::Client client("127.0.0.1", server.port());
    const std::vector<std::pair<std::string, int>> cases{
        {"127.0.0.1:" + port, 200}, {"localhost:" + port, 200},     {"attacker.example:" + port, 403},
        {"127.0.0.1.nip.io:" + port, 403}, {"127.0.0.1:1", 403},    {"", 403},
    };
    for (const auto& [host, status] : cases) {
        SCOPED_TRACE(host);
        const httplib::Headers headers{{"Host", host}};
        auto stats = client.Get("/__dev/stats", headers);
        ASSERT_TRUE(stats);
        EXPECT_EQ(stats->status, status);
        auto reset = client.Post("/__dev/reset", headers, "{}", "application/json");
        ASSERT_TRUE(reset);
        EXPECT_EQ(reset->status, status);
    }
}

TEST(DevServerWebApp, PagesCarryTheBridge) {
    DevServer server;
    httplib::Client client("127.0.0.1", server.port());
    for (const char* path : {"/app", "/app/task/task-1", "/desktop-login?nonce=abc"}) {
        auto res = client.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_NE(res->body.find("window.__vhbrShell"), std::string::npos) << path;
    }
    const json signIn = server.post("/app-api/sign-in", {{"email", "ann@example.com"}});
    auto me = client.Get("/app-api/me", {{"Authorization", "Bearer " + signIn["token"].get<std::string>()}});
    EXPECT_EQ(json::parse(me->body)["email"], "ann@example.com");
}

}  // namespace
}  // namespace vhbr::test
