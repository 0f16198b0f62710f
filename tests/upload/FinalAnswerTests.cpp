// Answers that end an upload for good: the service already has the file (the upload completes),
// or it refuses the upload in a way no later try can change (the upload fails and is never offered
// for resume again).

#include "Upload/UploadStateStore.hpp"
#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

TEST_F(UploadManagerTest, AnswersThatEndAnUploadLeaveNoStateBehind) {
    struct Case {
        const char* name;
        std::uint64_t size;
        nlohmann::json fault;                // armed for the second upload of the file; null: none
        std::optional<std::string> failure;  // none: the second upload completes
    };
    const std::vector<Case> cases{
        // The same file and choices again meet the task whose upload is complete.
        {"already complete, one PUT", 1 * kMiB, nullptr, std::nullopt},
        {"already complete, in parts", 50 * kMiB, nullptr, std::nullopt},
        {"a permanent refusal",
         1 * kMiB,
         {{"route", "upload-session"}, {"status", 400}, {"body", R"({"message":"This file cannot be processed."})"}},
         "This file cannot be processed."},
        // The storage forgot the upload or refuses the file: the same request cannot succeed later.
        {"the storage refuses a part for good", 50 * kMiB, {{"route", "part-put"}, {"status", 404}, {"partNumber", 2}},
         "The server returned status 404."},
        {"the storage refuses the file for good", 1 * kMiB, {{"route", "object-put"}, {"status", 400}},
         "The server returned status 400."},
    };
    unsigned index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++index;
        const auto file = mediaFile("final-" + std::to_string(index) + ".mov", c.size, 80 + index);
        auto manager = makeManager();
        if (!c.failure) {
            manager->start(draftFor(file));
            waitForJobs(*manager);
            ASSERT_EQ(manager->activeUploads().at(0)->status().kind(), Status::Kind::completed);
        }
        server.reset();
        if (!c.fault.is_null()) server.fault(c.fault);
        manager->start(draftFor(file));
        waitForJobs(*manager);
        const auto& model = *manager->activeUploads().at(0);
        if (c.failure) {
            EXPECT_EQ(model.status(), Status::failed(*c.failure));
        } else {
            ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
            EXPECT_EQ(navigator.tasks.back(), *model.taskID());
            EXPECT_EQ(server.requestCount("part-put") + server.requestCount("object-put"), 0);
        }
        EXPECT_TRUE(filesUnder(stateDir()).empty());
        EXPECT_TRUE(makeManager()->resumableStates().empty()) << "offered at the next launch";
    }
}

// A busy service or storage (429, 503) that says when to come back is heeded: the upload goes on
// then, but not forever.
TEST_F(UploadManagerTest, AServerThatAsksToComeBackLaterIsHeeded) {
    struct Case {
        const char* name;
        std::uint64_t size;
        nlohmann::json fault;
        std::optional<std::string> failure;  // none: completes
        std::chrono::milliseconds atLeast;   // the waits asked for, as heeded
    };
    const std::vector<Case> cases{
        {"the service, twice", 1 * kMiB,
         {{"route", "create-task"}, {"status", 503}, {"retryAfter", 1}, {"times", 2}}, std::nullopt,
         std::chrono::milliseconds(2 * 500)},  // each wait at most the fixture's longest network pause
        {"the service, always", 1 * kMiB,
         {{"route", "upload-session"}, {"status", 429}, {"retryAfter", 1}, {"times", 10}},
         "status 429", std::chrono::milliseconds(3 * 500)},  // the devserver's own text
        {"the storage, for one part", 50 * kMiB,
         {{"route", "part-put"}, {"status", 503}, {"retryAfter", 1}, {"partNumber", 3}}, std::nullopt,
         std::chrono::milliseconds(1000)},
    };
    unsigned index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        server.fault(c.fault);
        ++index;
        const auto file = mediaFile("busy-" + std::to_string(index) + ".mov", c.size, 60 + index);
        auto manager = makeManager();
        const auto start = std::chrono::steady_clock::now();
        manager->start(draftFor(file));
        waitForJobs(*manager);
        EXPECT_GE(std::chrono::steady_clock::now() - start, c.atLeast);
        const auto& model = *manager->activeUploads().at(0);
        if (c.failure) {
            EXPECT_EQ(model.status().message().value_or(""), *c.failure);
        } else {
            ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
            EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
        }
    }
}

// The same file sent again with other choices is a new task; a different file that happens to have
// the name, size and choices of a saved upload never takes that upload's key (nor its state).
TEST_F(UploadManagerTest, OtherChoicesOrAnotherFileAreANewUpload) {
    const auto file = mediaFile("lecture.mp4", 1 * kMiB, 90);
    auto manager = makeManager();
    manager->start(draftFor(file));
    waitForJobs(*manager);
    auto translate = draftFor(file);
    translate.intent = UploadIntent::translate;
    translate.targetLanguage = "de";
    manager->start(translate);
    waitForJobs(*manager);
    ASSERT_EQ(manager->activeUploads().size(), 2u);
    const auto& subtitled = *manager->activeUploads()[1];
    const auto& translated = *manager->activeUploads()[0];
    ASSERT_EQ(translated.status().kind(), Status::Kind::completed) << translated.status().message().value_or("");
    EXPECT_NE(*translated.taskID(), *subtitled.taskID());
    EXPECT_EQ(storedTask(*translated.taskID())->value("sha256", ""), sha256OfFile(file));

    // A failed upload stays saved; another file of the same name and size then goes up beside it.
    const auto other = mediaFile("talk.mp4", 1 * kMiB, 91);
    server.fault({{"route", "upload-session"}, {"status", 500}});
    manager->start(draftFor(other));
    waitForJobs(*manager);
    const auto saved = UploadStateStore(stateDir()).loadIncompleteStates();
    ASSERT_EQ(saved.size(), 1u);
    std::filesystem::remove(other);
    const auto replacement = mediaFile("talk.mp4", 1 * kMiB, 92);
    manager->start(draftFor(replacement));
    waitForJobs(*manager);
    const auto& fresh = *manager->activeUploads()[0];
    ASSERT_EQ(fresh.status().kind(), Status::Kind::completed) << fresh.status().message().value_or("");
    EXPECT_NE(fresh.clientRequestId(), saved[0].clientRequestId);
    EXPECT_EQ(storedTask(*fresh.taskID())->value("sha256", ""), sha256OfFile(replacement));
    EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates(), saved);
}

}  // namespace
}  // namespace vhbr::test
