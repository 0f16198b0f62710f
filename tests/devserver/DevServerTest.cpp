// What the app relies on from the local service: presigned URLs and their signatures, entity tags,
// the assembly of parts, the states of a sign-in. Uploads are driven end to end by other suites.
#include "Auth/PKCE.hpp"
#include "DevServer.hpp"
#include "TempDir.hpp"
#include "devserver/LoginStore.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>

namespace vhbr::test {
namespace {

using nlohmann::json;

// Talks to the service the way the app does: JSON POSTs with a bearer token, raw PUTs to URLs.
struct Service {
    explicit Service(DevServer& s) : client("127.0.0.1", s.port()) {}

    httplib::Result post(const std::string& path, const json& body, const std::string& token = "test-token") {
        const httplib::Headers bearer{{"Authorization", "Bearer " + token}};
        return client.Post(path, token.empty() ? httplib::Headers{} : bearer, body.dump(),
                           "application/json");
    }
    json ok(const std::string& path, const json& body) {
        auto res = post(path, body);
        EXPECT_TRUE(res && res->status == 200) << path << " " << (res ? res->body : "no reply");
        return res ? json::parse(res->body, nullptr, false) : json();
    }
    httplib::Result put(const std::string& url, const std::string& body,
                        const std::string& type = "video/mp4", httplib::Headers headers = {}) {
        return client.Put(url.substr(url.find("/storage/")), headers, body, type);
    }
    // A task with an upload session; multipart ones come with the URLs of their parts.
    json session(const std::string& clientRequestId, std::size_t size, int parts) {
        json create = json::parse(R"({"contract": {"surface": "newTask", "version": 2}, "sourceKind": "file",
            "intent": "subtitle", "sourceLanguage": "en", "targetLanguage": "de",
            "media": {"fileName": "clip.mp4", "mimeType": "video/mp4"}})");
        create["clientRequestId"] = clientRequestId;
        create["media"]["fileSize"] = size;
        json s = ok("/api/new-task/v2/tasks", create);
        EXPECT_EQ(ok("/api/new-task/v2/tasks", create)["id"], s["id"]) << "one task per clientRequestId";
        json request{{"fileName", "clip.mp4"}, {"fileType", "video/mp4"}, {"fileSize", size}};
        request["useMultipart"] = parts > 0;
        s.update(ok(path(s, "upload-session"), request));
        request = {{"objectKey", s["objectKey"]}, {"uploadId", s["uploadId"]}, {"totalParts", parts}};
        if (parts > 0) s["urls"] = ok(path(s, "upload-part-urls"), request)["presignedUrls"];
        return s;
    }
    static std::string path(const json& s, const std::string& step) {
        return "/api/new-task/v2/tasks/" + s["id"].get<std::string>() + "/" + step;
    }

    httplib::Client client;
};

std::string etagOf(const httplib::Result& res) {
    const std::string tag = res ? res->get_header_value("ETag") : "";
    return tag.size() >= 2 ? tag.substr(1, tag.size() - 2) : tag;
}

TEST(DevServerStorage, PutsNeedAValidSignatureTheSignedTypeAndNoBearerToken) {
    DevServer server;
    Service api(server);
    const std::string url = server.presign("bench/sample.bin");
    const json single = api.session("mac-single", 5, 0), multi = api.session("mac-multi", 5, 2);
    const std::string partUrl = multi["urls"][0];
    std::string tampered = url, otherKey = url, otherPart = partUrl;
    tampered.back() = tampered.back() == '0' ? '1' : '0';
    otherKey.replace(otherKey.find("sample"), 6, "simple");
    otherPart.replace(otherPart.find("partNumber=1"), 12, "partNumber=2");
    const httplib::Headers bearer{{"Authorization", "Bearer test-token"}};
    const std::string climbing = "/storage/..%2F..%2Fescape?X-Vhbr-Expires=9999999999&X-Vhbr-Signature=00";
    const struct {
        std::string name, url, type;
        httplib::Headers headers;
        int status;
    } cases[] = {
        {"valid", url, "video/mp4", {}, 200},
        {"any type when none was signed", url, "audio/wav", {}, 200},
        {"tampered signature", tampered, "video/mp4", {}, 403},
        {"other key", otherKey, "video/mp4", {}, 403},
        {"part URL for another part", otherPart, "video/mp4", {}, 403},
        {"expired", server.presign("bench/sample.bin", -1), "video/mp4", {}, 403},
        {"unsigned", server.baseUrl() + "/storage/bench/sample.bin", "video/mp4", {}, 403},
        {"key climbing out", climbing, "video/mp4", {}, 400},
        {"session URL, declared type", single["presignedURL"], "video/mp4", {}, 200},
        {"session URL, other type", single["presignedURL"], "video/quicktime", {}, 400},
        {"session URL with a bearer token", single["presignedURL"], "video/mp4", bearer, 400},
        {"part URL, declared type", partUrl, "video/mp4", {}, 200},
        {"part URL, other type", partUrl, "application/octet-stream", {}, 400},
        {"part URL with a bearer token", partUrl, "video/mp4", bearer, 400},
    };
    for (const auto& c : cases) {
        auto res = api.put(c.url, "hello", c.type, c.headers);
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, c.status) << c.name << ": " << res->body;
    }
    EXPECT_FALSE(std::filesystem::exists(server.dataDir().parent_path() / "escape"));
    // Storage answers with the MD5 of the bytes as the entity tag, and URLs outlive a restart.
    server.restart();
    Service again(server);
    EXPECT_EQ(etagOf(again.put(url, "hello")), hexDigest(EVP_md5(), "hello"));
    EXPECT_EQ(etagOf(again.put(partUrl, "world")), hexDigest(EVP_md5(), "world"));
    // A page whose own host name resolves to 127.0.0.1 (DNS rebinding) must not steer the service.
    const httplib::Headers rebound{{"Host", "attacker.example:" + std::to_string(server.port())}};
    EXPECT_EQ(again.client.Post("/__dev/reset", rebound, "{}", "application/json")->status, 403);
}

TEST(DevServerStorage, PartsAreAssembledInPartNumberOrderFromMatchingTags) {
    DevServer server;
    Service api(server);
    const std::vector<std::string> parts{std::string(300000, 'a'), std::string(300000, 'b'), "tail"};
    const std::string whole = parts[0] + parts[1] + parts[2];
    const json s = api.session("mac-assemble", whole.size(), 3);
    std::vector<std::string> tags(3);
    for (int i : {2, 0, 1}) tags[i] = etagOf(api.put(s["urls"][i], parts[i]));
    const auto list = [&](std::vector<std::pair<int, std::string>> entries) {
        json out = json::array();
        for (const auto& [n, tag] : entries) out.push_back({{"ETag", tag}, {"PartNumber", n}});
        return json{{"objectKey", s["objectKey"]}, {"uploadId", s["uploadId"]}, {"parts", out}};
    };
    const json right = list({{1, tags[0]}, {2, tags[1]}, {3, tags[2]}});
    const std::string complete = Service::path(s, "complete-multipart-upload");
    const struct {
        std::string name, path;
        json body;
        int status;
    } steps[] = {
        {"a tag of another part", complete, list({{1, tags[0]}, {2, tags[0]}, {3, tags[2]}}), 400},
        {"descending", complete, list({{2, tags[1]}, {1, tags[0]}, {3, tags[2]}}), 400},
        {"a part never sent", complete, list({{1, tags[0]}, {2, tags[1]}, {3, tags[2]}, {4, tags[2]}}), 400},
        {"no parts", complete, list({}), 400},
        {"ascending with matching tags", complete, right, 200},
        {"the same again (a lost reply)", complete, right, 200},
        {"another list after assembly", complete, list({{1, tags[0]}, {2, tags[1]}}), 404},
    };
    for (const auto& step : steps) {
        auto res = api.post(step.path, step.body);
        ASSERT_TRUE(res) << step.name;
        EXPECT_EQ(res->status, step.status) << step.name << ": " << res->body;
    }
    EXPECT_EQ(server.tasks().at(0)["sha256"], hexDigest(EVP_sha256(), whole));
}

TEST(DevServerLogin, AClaimAnswersAfterTheStateOfItsRequest) {
    DevServer server;
    Service api(server);
    const std::string challenge = PKCE::codeChallenge(std::string(43, 'v'));
    const auto start = [&] {
        return api.ok("/desktop-login/start", {{"codeChallenge", challenge}})["nonce"].get<std::string>();
    };
    const auto claim = [&](const std::string& nonce, const std::string& v = std::string(43, 'v')) {
        return api.post("/desktop-login/claim", {{"nonce", nonce}, {"codeVerifier", v}}, "");
    };
    const std::string pending = start(), approved = start(), rejected = start();
    server.approveLogin(approved);
    server.rejectLogin(rejected);
    EXPECT_EQ(claim(approved, std::string(43, 'w'))->status, 403) << "another verifier";
    const auto granted = claim(approved);
    ASSERT_EQ(granted->status, 200);
    for (const auto& [nonce, status] : std::vector<std::pair<std::string, int>>{
             {approved, 410}, {pending, 202}, {"no-such-nonce", 404}, {rejected, 403}})
        EXPECT_EQ(claim(nonce)->status, status) << nonce;  // a token is handed out once
    const std::string token = json::parse(granted->body)["token"];
    // The token is a bearer token of the API; an unknown one is not.
    EXPECT_EQ(api.post("/api/new-task/v2/staged-upload-cleanup", json::object(), token)->status, 200);
    EXPECT_EQ(api.post("/api/new-task/v2/staged-upload-cleanup", json::object(), "forged")->status, 401);
}

// A sign-in request expires by the store's clock: still answered up to its last moment, then
// neither claimed nor decided.
TEST(DevServerLogin, ARequestExpiresAfterItsTimeToLive) {
    TempDir dir;
    auto now = std::chrono::system_clock::now();
    dev::LoginStore store(dir.path(), {}, false, std::chrono::seconds(300), [&now] { return now; });
    const std::string verifier(43, 'v');
    const std::string challenge = PKCE::codeChallenge(verifier);
    const std::string claimed = store.start(challenge).nonce, decided = store.start(challenge).nonce;
    now += std::chrono::seconds(300) - std::chrono::milliseconds(1);
    EXPECT_EQ(store.claim(claimed, verifier).status, 202);
    now += std::chrono::milliseconds(1);
    EXPECT_EQ(store.claim(claimed, verifier).status, 410);
    EXPECT_EQ(store.decide(decided, true, dev::LoginStore::developer()), 410);
}

}  // namespace
}  // namespace vhbr::test
