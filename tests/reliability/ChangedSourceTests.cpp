// A source file that changes under its upload (truncated, rewritten in place, still growing) fails
// the upload with a message that it changed, keeps its state, and never becomes a completed task:
// what is uploaded is what was validated.

#include <fstream>

#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

struct ChangeCase {
    const char* name;
    std::uint64_t size;
    json hold;  // a delay that holds the upload where the file changes; null: before the start
    std::function<void(const fs::path&)> change;
    bool afterAPartIsIn = false;  // the change waits until a part is saved as acknowledged
};

TEST_F(ReliabilityTest, ASourceChangedUnderItsUploadFailsAndNeverCompletes) {
    const auto hold = [](const char* route) { return json{{"route", route}, {"delayMs", 800}}; };
    const auto truncateTo = [](std::uint64_t size) {
        return [size](const fs::path& f) { fs::resize_file(f, size); };
    };
    const auto rewriteStart = [](const fs::path& f) {
        std::this_thread::sleep_for(10ms);  // a modification time that surely differs
        std::fstream(f, std::ios::in | std::ios::out | std::ios::binary) << "rewritten in place";
    };
    const auto append = [](const fs::path& f) {
        std::ofstream(f, std::ios::app | std::ios::binary) << std::string(kMiB, 'x');
    };
    json firstPart = hold("part-put");
    firstPart["partNumber"] = 1;
    json secondPart = hold("part-put");
    secondPart["partNumber"] = 2;
    const std::vector<ChangeCase> cases{
        {"truncated after it was chosen", 3 * kMiB, nullptr, truncateTo(kMiB)},
        {"truncated before the single transfer", 3 * kMiB, hold("upload-session"), truncateTo(kMiB)},
        {"truncated before its parts are sent", 50 * kMiB, hold("upload-part-urls"), truncateTo(45 * kMiB)},
        {"rewritten in place before its parts are sent", 50 * kMiB, hold("upload-part-urls"), rewriteStart},
        {"rewritten in place between two parts", 50 * kMiB, secondPart, rewriteStart, true},
        {"still growing while its parts are sent", 50 * kMiB, firstPart, append},
    };
    auto manager = makeFastManager(5000ms);
    unsigned index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        ++index;
        const auto file = mediaFile("changing-" + std::to_string(index) + ".mov", c.size, 600 + index);
        const auto draft = draftFor(file);
        if (c.hold.is_null())
            c.change(file);
        else
            server.fault(c.hold);
        manager->start(draft);
        if (!c.hold.is_null()) {
            ASSERT_TRUE(loop.runUntil(
                [&] {
                    if (!c.afterAPartIsIn) return server.requestCount(c.hold["route"].get<std::string>()) > 0;
                    for (const auto& saved : UploadStateStore(stateDir()).loadIncompleteStates())
                        if (saved.media.fileName == file.filename() && !saved.completedParts.empty()) return true;
                    return false;
                },
                20s));
            c.change(file);
        }
        waitForJobs(*manager, 30s);
        const auto& status = manager->activeUploads().at(0)->status();
        ASSERT_EQ(status.kind(), UploadTaskStatus::Kind::failed);
        EXPECT_NE(status.message()->find("changed while it was being uploaded"), std::string::npos)
            << *status.message();
        EXPECT_EQ(server.requestCount("complete-multipart-upload") + server.requestCount("upload-complete"),
                  0);
    }
    for (const auto& task : server.tasks()) EXPECT_FALSE(task.value("uploadComplete", true)) << task.dump();
    EXPECT_EQ(UploadStateStore(stateDir()).loadIncompleteStates().size(),
              cases.size() - 1);  // the first never began
}

}  // namespace
}  // namespace vhbr::test
