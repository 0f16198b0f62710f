#include <gtest/gtest.h>

#include <tuple>

#include "Support/Errors.hpp"
#include "Upload/UploadAPIModels.hpp"

namespace vhbr {
namespace {

using nlohmann::json;

TEST(WireBodies, DurationIsOmittedWhenAbsentAndANumberWhenKnown) {
    CreateTaskRequest create{"mac-1", {}, "file", UploadIntent::translate, "auto", "en", {"a.mp4", 10, "video/mp4", {}}};
    UploadCompleteRequest complete{"k", std::nullopt, "a.mp4", 10, "video/mp4", std::nullopt};
    EXPECT_EQ(create.toJSON().dump(),
              R"({"clientRequestId":"mac-1","contract":{"surface":"newTask","version":2},"intent":"translate",)"
              R"("media":{"fileName":"a.mp4","fileSize":10,"mimeType":"video/mp4"},"sourceKind":"file",)"
              R"("sourceLanguage":"auto","targetLanguage":"en"})");
    EXPECT_EQ(complete.toJSON().dump(), R"({"fileName":"a.mp4","fileSize":10,"mimeType":"video/mp4","objectKey":"k"})");

    create.media.durationHint = 12.5;
    complete.videoDuration = 12.5;
    EXPECT_EQ(create.toJSON()["media"]["durationHint"], 12.5);
    EXPECT_EQ(complete.toJSON()["videoDuration"], 12.5);
}

TEST(WireBodies, CleanupWithNothingKnownIsTheEmptyObject) {
    EXPECT_EQ(StagedUploadCleanupRequest{}.toJSON().dump(), "{}");
    EXPECT_EQ((StagedUploadCleanupRequest{"t", std::nullopt, "u"}.toJSON().dump()), R"({"taskId":"t","uploadId":"u"})");
}

TEST(WireBodies, CompletePartsUseCapitalisedKeys) {
    CompleteMultipartUploadRequest request{"k", "u", {{"e1", 1}, {"e2", 2}}};
    EXPECT_EQ(request.toJSON().dump(),
              R"({"objectKey":"k","parts":[{"ETag":"e1","PartNumber":1},{"ETag":"e2","PartNumber":2}],"uploadId":"u"})");
}

struct SessionCase {
    const char* name;
    const char* body;
    std::optional<std::string> presignedURL, key, uploadId, objectKey;
};

class UploadSessionDecodeTest : public ::testing::TestWithParam<SessionCase> {};

TEST_P(UploadSessionDecodeTest, TakesTheFirstPresentNonNullKey) {
    const auto& c = GetParam();
    auto r = UploadSessionResponse::decode(json::parse(c.body));
    EXPECT_EQ(r.presignedURL, c.presignedURL);
    EXPECT_EQ(r.key, c.key);
    EXPECT_EQ(r.uploadId, c.uploadId);
    EXPECT_EQ(r.objectKey, c.objectKey);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadSessionDecodeTest,
    ::testing::Values(
        SessionCase{"alternative_keys", R"({"presignedUrl":"https://s/p","Key":"k","UploadId":"u"})", "https://s/p",
                    "k", "u", std::nullopt},
        SessionCase{"first_spelling_wins", R"({"presignedURL":"https://s/1","presignedUrl":"https://s/2"})",
                    "https://s/1", std::nullopt, std::nullopt, std::nullopt},
        SessionCase{"null_is_passed_over", R"({"presignedURL":null,"presignedUrl":"https://s/2","objectKey":"o"})",
                    "https://s/2", std::nullopt, std::nullopt, "o"},
        SessionCase{"empty", "{}", std::nullopt, std::nullopt, std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UploadSessionDecode, AWrongTypeOrBadURLFailsWithoutTryingLaterKeys) {
    EXPECT_THROW(UploadSessionResponse::decode(json::parse(R"({"presignedURL":5,"presignedUrl":"https://s"})")),
                 DecodingError);
    EXPECT_THROW(UploadSessionResponse::decode(json::parse(R"({"presignedURL":"not a url"})")), DecodingError);
    EXPECT_THROW(UploadSessionResponse::decode(json::parse(R"({"uploadId":["u"]})")), DecodingError);
}

TEST(PartURLsDecode, NumbersURLsByPositionAndNamesTheBadIndex) {
    auto r = UploadPartURLsResponse::decode(json::parse(R"({"presignedUrls":["https://s/1","https://s/2","https://s/3"]})"));
    ASSERT_EQ(r.parts.size(), 3u);
    EXPECT_EQ(r.parts[0], (UploadPartURL{1, "https://s/1"}));
    EXPECT_EQ(r.parts[2], (UploadPartURL{3, "https://s/3"}));
    EXPECT_TRUE(UploadPartURLsResponse::decode(json::parse(R"({"presignedUrls":[]})")).parts.empty());
    try {
        UploadPartURLsResponse::decode(json::parse(R"({"presignedUrls":["https://s/1","nope","also bad"]})"));
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_NE(std::string(e.what()).find("Invalid presigned URL at index 1."), std::string::npos) << e.what();
    }
    EXPECT_THROW(UploadPartURLsResponse::decode(json::parse(R"({})")), DecodingError);
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

TEST(CreateTaskDecode, IdIsRequiredAndReusedOptional) {
    auto r = CreateTaskResponse::decode(json::parse(R"({"id":"abc"})"));
    EXPECT_EQ(r.id, "abc");
    EXPECT_EQ(r.reused, std::nullopt);
    EXPECT_EQ(CreateTaskResponse::decode(json::parse(R"({"id":"abc","reused":true,"x":1})")).reused, true);
    for (const char* bad : {R"({})", R"({"id":null})", R"({"id":5})", R"([])", R"({"id":"a","reused":"yes"})"})
        EXPECT_THROW(CreateTaskResponse::decode(json::parse(bad)), DecodingError) << bad;
}

}  // namespace
}  // namespace vhbr
