#include <gtest/gtest.h>

#include <tuple>

#include "Services/APIClient.hpp"
#include "Support/Errors.hpp"
#include "Upload/UploadAPIModels.hpp"

namespace vhbr {
namespace {

using nlohmann::json;

// Every reply the service could send for the three decoded steps, as text off the wire: what is
// accepted and what each refusal tells the user. End to end, one reply of each kind of failure
// is driven through a whole upload (reliability/BadReplyTests).
enum class Reply { createTask, session, partURLs };

std::string decoded(Reply reply, const std::string& body) {
    try {
        const json j = APIClient::parseJSON(body);
        switch (reply) {
            case Reply::createTask: {
                const auto r = CreateTaskResponse::decode(j);
                return r.id + (r.reused ? *r.reused ? " reused" : " new" : "");
            }
            case Reply::session: {
                const auto r = UploadSessionResponse::decode(j);
                return r.presignedURL.value_or("-") + " " + r.key.value_or("-") + " " +
                       r.uploadId.value_or("-") + " " + r.objectKey.value_or("-");
            }
            case Reply::partURLs: {
                std::string parts;
                for (const auto& part : UploadPartURLsResponse::decode(j).parts)
                    parts += std::to_string(part.partNumber) + "=" + part.url + " ";
                return parts;
            }
        }
    } catch (const DecodingError& e) {
        return std::string("error: ") + e.what();
    }
    return {};
}

TEST(ReplyDecoding, AcceptsWhatTheServiceSendsAndNamesWhatIsWrong) {
    const std::string refused = "error: The data couldn't be read because it isn't in the correct format. (";
    const std::tuple<Reply, std::string, std::string> cases[] = {
        {Reply::createTask, R"({"id":"abc"})", "abc"},
        {Reply::createTask, R"({"id":"abc","reused":true,"x":1})", "abc reused"},
        {Reply::createTask, R"({"id": "abc")", refused + "The reply is not valid JSON.)"},
        {Reply::createTask, "<html><body>Welcome</body></html>", refused + "The reply is not valid JSON.)"},
        {Reply::createTask, "", refused + "The reply was empty.)"},
        {Reply::createTask, R"({"id": 42})", refused + "Expected a string for the key \"id\".)"},
        {Reply::createTask, R"({"reused": false})", refused + "No value for the key \"id\".)"},
        {Reply::createTask, R"({"id": null})", refused + "No value for the key \"id\".)"},
        {Reply::createTask, R"({"id": "t", "reused": "yes"})",
         refused + "Expected a boolean for the key \"reused\".)"},
        {Reply::createTask, R"(["abc"])", refused + "Expected an object for the created task.)"},
        // Alternative spellings: the first present, non-null one wins.
        {Reply::session, R"({"presignedUrl":"https://s/p","Key":"k","UploadId":"u"})", "https://s/p k u -"},
        {Reply::session, R"({"presignedURL":"https://s/1","presignedUrl":"https://s/2"})",
         "https://s/1 - - -"},
        {Reply::session, R"({"presignedURL":null,"presignedUrl":"https://s/2","objectKey":"o"})",
         "https://s/2 - - o"},
        {Reply::session, "{}", "- - - -"},
        {Reply::session, R"({"presignedURL":5,"presignedUrl":"https://s"})",
         refused + "Expected a string for the key \"presignedURL\".)"},
        {Reply::session, R"({"presignedURL": "not a url"})",
         refused + "The presigned URL is not a valid URL.)"},
        {Reply::session, R"({"presignedURL": "https://s", "uploadId": []})",
         refused + "Expected a string for the key \"uploadId\".)"},
        {Reply::partURLs, R"({"presignedUrls":["https://s/1","https://s/2","https://s/3"]})",
         "1=https://s/1 2=https://s/2 3=https://s/3 "},
        {Reply::partURLs, R"({"presignedUrls":[]})", ""},
        {Reply::partURLs, R"({"presignedUrls":["https://s/1","nope",null]})",
         refused + "Invalid presigned URL at index 1.)"},
        {Reply::partURLs, R"({"presignedUrls":[null]})", refused + "Invalid presigned URL at index 0.)"},
        {Reply::partURLs, R"({"presignedUrls":null})", refused + "No value for the key \"presignedUrls\".)"},
        {Reply::partURLs, "{}", refused + "No value for the key \"presignedUrls\".)"},
        {Reply::partURLs, R"({"presignedUrls":"https://s/1"})",
         refused + "Expected an array for the key \"presignedUrls\".)"},
    };
    for (const auto& [reply, body, expected] : cases) EXPECT_EQ(decoded(reply, body), expected) << body;
}

// Upload URLs may only be https, or plain http to this machine while the service itself is one.
TEST(UploadURLDecode, OnlyHttpsOrLoopbackHttpWhenAllowed) {
    const std::vector<std::tuple<std::string, bool, bool>> cases{
        {"https://store.example/p", false, true},   {"http://127.0.0.1:8080/p", true, true},
        {"http://localhost/p", true, true},         {"http://[::1]:9/p", true, true},
        {"http://127.0.0.1:8080/p", false, false},  {"http://store.example/p", true, false},
        {"http://127.0.0.1.nip.io/p", true, false}, {"file:///home/user/.bashrc", true, false},
        {"ftp://127.0.0.1/p", true, false},
    };
    for (const auto& [url, allowLoopbackHttp, accepted] : cases) {
        SCOPED_TRACE(url + (allowLoopbackHttp ? " (loopback http allowed)" : ""));
        const json session{{"presignedURL", url}};
        const json parts{{"presignedUrls", {"https://s/1", url}}};
        if (accepted) {
            EXPECT_EQ(UploadSessionResponse::decode(session, allowLoopbackHttp).presignedURL, url);
            EXPECT_EQ(UploadPartURLsResponse::decode(parts, allowLoopbackHttp).parts.at(1).url, url);
        } else {
            EXPECT_THROW(UploadSessionResponse::decode(session, allowLoopbackHttp), DecodingError);
            EXPECT_THROW(UploadPartURLsResponse::decode(parts, allowLoopbackHttp), DecodingError);
        }
    }
}

}  // namespace
}  // namespace vhbr
