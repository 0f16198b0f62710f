#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Support/Base64.hpp"
#include "Support/Errors.hpp"
#include "Support/ISO8601.hpp"
#include "Upload/UploadState.hpp"

namespace vhbr {
namespace {

using namespace std::chrono;
using nlohmann::json;

constexpr sys_seconds kCreated = sys_days{2025y / 3 / 4} + 5h + 6min + 7s;

UploadState fullState() {
    return UploadState{"mac-abc",
                       "t1",
                       "k",
                       "u",
                       {{}, "a.mp4", 26'214'400, "video/mp4", 12.5},
                       UploadIntent::translate,
                       "auto",
                       "en",
                       {{"e1", 1}, {"e2", 2}},
                       std::string("\0\1bm", 4),
                       kCreated,
                       kCreated + 1s,
                       true};
}

UploadState minimalState() {
    return UploadState{.clientRequestId = "mac-min",
                       .media = {.fileName = "b.wav", .fileSize = 1, .mimeType = "audio/wav"},
                       .intent = UploadIntent::subtitle,
                       .sourceLanguage = "auto",
                       .targetLanguage = "en",
                       .createdAt = kCreated,
                       .updatedAt = kCreated};
}

// The format other versions read and write; reading the fixed text holds the decoder to it too.
TEST(UploadStateJson, WritesAndReadsTheFixedFormat) {
    const std::string text =
        R"({"clientRequestId":"mac-abc","taskId":"t1","objectKey":"k","uploadId":"u","fileName":"a.mp4",)"
        R"("fileSize":26214400,"mimeType":"video/mp4","durationHint":12.5,"intent":"translate",)"
        R"("sourceLanguage":"auto","targetLanguage":"en","completedParts":[{"eTag":"e1","partNumber":1},)"
        R"({"eTag":"e2","partNumber":2}],"sourceBookmark":"AAFibQ==","step":"completing",)"
        R"("createdAt":"2025-03-04T05:06:07Z",)"
        R"("updatedAt":"2025-03-04T05:06:08Z"})";
    EXPECT_EQ(encodeUploadState(fullState()), text);
    EXPECT_EQ(decodeUploadState(text), fullState());
}

// Absent optionals are left out; null reads as absent, and keys of a later version are ignored.
TEST(UploadStateJson, OptionalsAreLeftOutAndNullOrUnknownKeysAreTolerated) {
    const std::string text = encodeUploadState(minimalState());
    for (const char* key : {"taskId", "objectKey", "uploadId", "durationHint", "sourceBookmark", "step"})
        EXPECT_FALSE(json::parse(text).contains(key)) << key;
    json object = json::parse(text);
    for (const char* key : {"taskId", "objectKey", "uploadId", "sourceBookmark", "step"})
        object[key] = nullptr;
    object["futureField"] = {{"nested", true}};
    object["completedParts"] = json::array({{{"eTag", "e"}, {"partNumber", 3}, {"size", 9}}});
    object["durationHint"] = 7;
    UploadState expected = minimalState();
    expected.completedParts = {{"e", 3}};
    expected.media.durationHint = 7.0;
    EXPECT_EQ(decodeUploadState(object.dump()), expected);
}

// Every way a state's text can be wrong (the store's own tests plant the files wrong on disk).
TEST(UploadStateJson, RejectsMissingKeysWrongTypesAndBadValues) {
    const json valid = json::parse(encodeUploadState(fullState()));
    std::vector<std::pair<std::string, std::string>> cases;
    for (const char* key : {"clientRequestId", "fileName", "fileSize", "mimeType", "intent", "sourceLanguage",
                            "targetLanguage", "completedParts", "createdAt", "updatedAt"}) {
        json missing = valid, null = valid;
        missing.erase(key);
        null[key] = nullptr;
        cases.emplace_back(std::string("missing ") + key, missing.dump());
        cases.emplace_back(std::string("null ") + key, null.dump());
    }
    const auto with = [&](const std::string& what, auto change) {
        json object = valid;
        change(object);
        cases.emplace_back(what, object.dump());
    };
    with("size as text", [](json& o) { o["fileSize"] = "1"; });
    with("size with fraction", [](json& o) { o["fileSize"] = 1.5; });
    with("size beyond 64 bits", [](json& o) { o["fileSize"] = 18'446'744'073'709'551'615ull; });
    with("part number with fraction", [](json& o) { o["completedParts"][0]["partNumber"] = 1.0; });
    with("part number as text", [](json& o) { o["completedParts"][0]["partNumber"] = "1"; });
    with("part without eTag", [](json& o) { o["completedParts"][0].erase("eTag"); });
    with("part not an object", [](json& o) { o["completedParts"][0] = 1; });
    with("parts not an array", [](json& o) { o["completedParts"] = json::object(); });
    with("taskId as number", [](json& o) { o["taskId"] = 5; });
    with("duration as text", [](json& o) { o["durationHint"] = "12"; });
    with("intent capitalised", [](json& o) { o["intent"] = "Translate"; });
    with("intent unknown", [](json& o) { o["intent"] = "dub"; });
    with("intent as number", [](json& o) { o["intent"] = 1; });
    with("bookmark not Base64", [](json& o) { o["sourceBookmark"] = "AAFibQ="; });
    with("fractional seconds", [](json& o) { o["updatedAt"] = "2025-03-04T05:06:07.250Z"; });
    with("offset instead of Z", [](json& o) { o["createdAt"] = "2025-03-04T05:06:07+00:00"; });
    with("date as number", [](json& o) { o["createdAt"] = 1741064767; });
    with("not an object", [](json& o) { o = json::array({o}); });
    const std::string text = valid.dump();
    std::string notUtf8 = text;
    notUtf8.replace(notUtf8.find("a.mp4"), 1, "\xff");
    cases.insert(cases.end(),
                 {{"truncated", text.substr(0, text.size() / 2)},
                  {"empty", ""},
                  {"not UTF-8", notUtf8},
                  {"nested beyond any stack", std::string(200000, '[') + std::string(200000, ']')}});
    for (const auto& [what, content] : cases) EXPECT_THROW(decodeUploadState(content), DecodingError) << what;
}

TEST(UploadStateJson, TextThatIsNotUtf8CannotBeSaved) {
    UploadState state = minimalState();
    state.media.fileName = "bad\xff.wav";
    EXPECT_THROW(encodeUploadState(state), AppError);
}

TEST(ISO8601, FormatsAndParsesWholeSecondsInUtc) {
    EXPECT_EQ(formatISO8601(kCreated), "2025-03-04T05:06:07Z");
    EXPECT_EQ(formatISO8601(sys_seconds{}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(parseISO8601Seconds("2025-03-04T05:06:07Z"), kCreated);
    EXPECT_EQ(parseISO8601Seconds("2024-02-29T23:59:59Z"), sys_days{2024y / 3 / 1} - 1s);
    for (const char* bad : {"2025-03-04T05:06:07.5Z", "2025-03-04T05:06:07", "2025-03-04T05:06:07+00:00",
                            "2025-03-04 05:06:07Z", "2025-02-29T00:00:00Z", "2025-03-04T24:00:00Z",
                            "2025-03-04T05:06:60Z", "2025-3-04T05:06:07Z", "2025-03-04T05:06:07z", ""})
        EXPECT_EQ(parseISO8601Seconds(bad), std::nullopt) << bad;
}

TEST(ISO8601, FractionalFormRequiresAFractionAndHonoursOffsets) {
    const system_clock::time_point base{kCreated};
    EXPECT_EQ(parseISO8601Fractional("2025-03-04T05:06:07.5Z"), base + 500ms);
    EXPECT_EQ(parseISO8601Fractional("2025-03-04T05:06:07.123456789123Z"), base + 123456789ns);
    EXPECT_EQ(parseISO8601Fractional("2025-03-04T06:36:07.000+01:30"), base);
    EXPECT_EQ(parseISO8601Fractional("2025-03-04T04:06:07.0-01:00"), base);
    for (const char* bad :
         {"2025-03-04T05:06:07Z", "2025-03-04T05:06:07.Z", "2025-03-04T05:06:07.5",
          "2025-03-04T05:06:07.5+0100", "2025-03-04T05:06:07.5 Z", "2025-03-04T05:06:07.5Zx"})
        EXPECT_EQ(parseISO8601Fractional(bad), std::nullopt) << bad;
}

TEST(Base64, RoundTripsEveryPaddingLength) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\xfe\x00", 3), "//4A"},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
    EXPECT_EQ(base64Decode("+/+/"), "\xfb\xff\xbf");
}

TEST(Base64, DecodingIsStrict) {
    for (const char* bad :
         {"Zg=", "Zg", "Zg==Zg==", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "=Zg=", "Z===", "Zm-_", "Zm8=="})
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace vhbr
