#include <gtest/gtest.h>

#include "Upload/UploadModels.hpp"

namespace vhbr {
namespace {

using Kind = UploadTaskStatus::Kind;

TEST(UploadTaskModel, StartsQueuedWithoutTaskAndWithZeroProgress) {
    UploadTaskModel model("mac-1", "a.mp4", 42);
    EXPECT_EQ(model.clientRequestId(), "mac-1");
    EXPECT_EQ(model.fileName(), "a.mp4");
    EXPECT_EQ(model.fileSize(), 42);
    EXPECT_EQ(model.taskID(), std::nullopt);
    EXPECT_EQ(model.progress(), 0.0);
    EXPECT_EQ(model.status(), UploadTaskStatus::queued());
    EXPECT_EQ(model.id().size(), 36u);
    EXPECT_NE(model.id(), UploadTaskModel("mac-1", "a.mp4", 42).id());
}

TEST(UploadTaskModel, EverySetterAnnouncesTheStoredValue) {
    UploadTaskModel model("mac-1", "a.mp4", 42);
    std::vector<std::string> seen;
    model.changed.connect([&] {
        seen.push_back(model.taskID().value_or("-") + "/" + std::to_string(model.progress()) + "/" +
                       std::to_string(static_cast<int>(model.status().kind())));
    });
    model.setTaskID("t1");
    model.setProgress(0.5);
    model.setStatus(UploadTaskStatus::uploading());
    model.setProgress(0.5);  // an unchanged value is announced too
    EXPECT_EQ(seen,
              (std::vector<std::string>{"t1/0.000000/0", "t1/0.500000/0", "t1/0.500000/2", "t1/0.500000/2"}));
}

TEST(UploadTaskStatus, EqualityComparesKindAndPayload) {
    struct Case {
        UploadTaskStatus a, b;
        bool equal;
    };
    const Case cases[] = {
        {UploadTaskStatus::completed("a"), UploadTaskStatus::completed("a"), true},
        {UploadTaskStatus::completed("a"), UploadTaskStatus::completed("b"), false},
        {UploadTaskStatus::failed("x"), UploadTaskStatus::failed("x"), true},
        {UploadTaskStatus::failed("x"), UploadTaskStatus::failed("y"), false},
        {UploadTaskStatus::completed("a"), UploadTaskStatus::failed("a"), false},
        {UploadTaskStatus::queued(), UploadTaskStatus::queued(), true},
        {UploadTaskStatus::queued(), UploadTaskStatus::paused(), false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal);
}

TEST(UploadTaskStatus, PayloadsBelongToTheirKindOnly) {
    EXPECT_EQ(UploadTaskStatus::completed("t").taskID(), "t");
    EXPECT_EQ(UploadTaskStatus::completed("t").message(), std::nullopt);
    EXPECT_EQ(UploadTaskStatus::failed("m").message(), "m");
    EXPECT_EQ(UploadTaskStatus::failed("m").taskID(), std::nullopt);
}

TEST(UploadTaskStatus, ExactlyTheFirstFourKindsAreActive) {
    const std::pair<UploadTaskStatus, bool> cases[] = {
        {UploadTaskStatus::queued(), true},        {UploadTaskStatus::creatingTask(), true},
        {UploadTaskStatus::uploading(), true},     {UploadTaskStatus::finalizing(), true},
        {UploadTaskStatus::completed("t"), false}, {UploadTaskStatus::failed("m"), false},
        {UploadTaskStatus::cancelled(), false},    {UploadTaskStatus::paused(), false},
    };
    for (const auto& [status, active] : cases)
        EXPECT_EQ(status.isActive(), active) << static_cast<int>(status.kind());
}

TEST(UploadIntent, RawValuesAreExactAndLowerCase) {
    EXPECT_EQ(allUploadIntents(),
              (std::vector<UploadIntent>{UploadIntent::subtitle, UploadIntent::translate}));
    for (UploadIntent intent : allUploadIntents()) EXPECT_EQ(uploadIntentFromRaw(rawValue(intent)), intent);
    EXPECT_EQ(rawValue(UploadIntent::translate), "translate");
    EXPECT_EQ(displayName(UploadIntent::subtitle), "Subtitle");
    EXPECT_EQ(displayName(UploadIntent::translate), "Translate");
    for (const char* raw : {"Translate", "SUBTITLE", "", " subtitle", "translate "})
        EXPECT_EQ(uploadIntentFromRaw(raw), std::nullopt) << raw;
}

TEST(LanguageOption, ListsAreTheFixedOnes) {
    const std::vector<LanguageOption> source{
        {"auto", "Auto"},  {"en", "English"},    {"es", "Spanish"},  {"fr", "French"}, {"de", "German"},
        {"it", "Italian"}, {"pt", "Portuguese"}, {"ja", "Japanese"}, {"ko", "Korean"}, {"zh", "Chinese"},
    };
    EXPECT_EQ(LanguageOption::sourceOptions(), source);
    EXPECT_EQ(LanguageOption::targetOptions(), std::vector<LanguageOption>(source.begin() + 1, source.end()));
}

TEST(UploadAlert, EachAlertGetsItsOwnId) {
    const auto a = UploadAlert::make("Cannot start upload", "m");
    const auto b = UploadAlert::make("Cannot start upload", "m");
    EXPECT_EQ(a.title, "Cannot start upload");
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace vhbr
