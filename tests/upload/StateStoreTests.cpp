#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "Platform/AppPaths.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr sys_seconds kT0 = sys_days{2025y / 3 / 4} + 5h;

UploadState makeState(const std::string& id, sys_seconds updatedAt) {
    return UploadState{.clientRequestId = id,
                       .fileName = id + ".mp4",
                       .fileSize = 1,
                       .mimeType = "video/mp4",
                       .intent = UploadIntent::subtitle,
                       .sourceLanguage = "auto",
                       .targetLanguage = "en",
                       .createdAt = kT0,
                       .updatedAt = updatedAt};
}

std::string readFile(const fs::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> ids(const std::vector<UploadState>& states) {
    std::vector<std::string> result;
    for (const auto& s : states) result.push_back(s.clientRequestId);
    return result;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Makes every write beyond limit bytes fail with EFBIG (root included) for the scope.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t limit) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
};

TEST(UploadStateStore, CreatesItsPrivateDirectoryWithParents) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "a/b/Uploads");
    const auto perms = fs::status(store.directory()).permissions();
    EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_all);
}

TEST(UploadStateStore, DefaultsToUploadsUnderTheDataHome) {
    test::TempDir tmp;
    ::setenv("XDG_DATA_HOME", tmp.path().c_str(), 1);
    UploadStateStore store;
    EXPECT_EQ(store.directory(), tmp.path() / "Velvetharbor" / "Uploads");
    EXPECT_TRUE(fs::is_directory(store.directory()));
}

TEST(UploadStateStore, LoadsNewestFirstAndTiesKeepListingOrder) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    // Enough ties that an unstable sort would visibly reorder them.
    for (int i = 0; i < 40; ++i) store.save(makeState("mac-" + std::to_string(i), kT0 + seconds(i % 2)));
    std::vector<std::string> newer, older;
    for (const auto& entry : fs::directory_iterator(store.directory())) {
        const std::string id = entry.path().stem().string();
        (std::stoi(id.substr(4)) % 2 ? newer : older).push_back(id);
    }
    newer.insert(newer.end(), older.begin(), older.end());
    EXPECT_EQ(ids(store.loadIncompleteStates()), newer);
    EXPECT_EQ(store.loadIncompleteStates()[0].updatedAt, kT0 + 1s);
}

TEST(UploadStateStore, SavedStateReadsBackEqualAndLeavesNoTemporaryFile) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    UploadState state = makeState("mac-a", kT0);
    state.taskId = "t";
    state.completedParts = {{"e1", 1}};
    state.sourceBookmark = std::string("\0\xff", 2);
    store.save(state);
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-a.json"});
    EXPECT_EQ(store.loadIncompleteStates(), std::vector<UploadState>{state});
}

TEST(UploadStateStore, SavingTwiceKeepsTheSecondContent) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-a", kT0));
    store.save(makeState("mac-a", kT0 + 5s));
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-a.json"});
    EXPECT_EQ(store.loadIncompleteStates(), std::vector<UploadState>{makeState("mac-a", kT0 + 5s)});
}

TEST(UploadStateStore, FailedSaveLeavesTheEarlierFileAndNoTemporaryFile) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-a", kT0));
    const std::string before = readFile(store.directory() / "mac-a.json");
    UploadState big = makeState("mac-a", kT0 + 1s);
    big.completedParts.assign(512, {"0123456789abcdef0123456789abcdef", 1});
    {
        FileSizeLimit limit(before.size() + 16);
        EXPECT_THROW(store.save(big), FileSystemError);
    }
    EXPECT_EQ(readFile(store.directory() / "mac-a.json"), before);
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-a.json"});
}

TEST(UploadStateStore, IgnoresHiddenAndOtherlyNamedFiles) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    const std::string valid = encodeUploadState(makeState("mac-x", kT0));
    for (const char* name : {"a.JSON", ".hidden.json", "notes.txt", "b.json.bak"})
        writeFile(store.directory() / name, valid);
    EXPECT_TRUE(store.loadIncompleteStates().empty());
}

TEST(UploadStateStore, SkipsBadFilesAndLeavesThemUntouched) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-good", kT0));
    std::string noCreatedAt = encodeUploadState(makeState("mac-x", kT0));
    noCreatedAt.replace(noCreatedAt.find("\"createdAt\""), 10, "\"createdOn");
    std::string fractional = encodeUploadState(makeState("mac-y", kT0));
    fractional.replace(fractional.rfind("Z\""), 2, ".5Z\"");
    std::string unknownIntent = encodeUploadState(makeState("mac-z", kT0));
    unknownIntent.replace(unknownIntent.find("subtitle"), 8, "dubbing");
    const std::pair<std::string, std::string> bad[] = {
        {"invalid.json", "{not json"},
        {"intent.json", unknownIntent},
        {"created.json", noCreatedAt},
        {"fraction.json", fractional},
        {"huge.json", encodeUploadState(makeState("mac-h", kT0)) + std::string(2 << 20, ' ')},
    };
    for (const auto& [name, content] : bad) writeFile(store.directory() / name, content);
    fs::create_directory(store.directory() / "folder.json");

    EXPECT_EQ(ids(store.loadIncompleteStates()), std::vector<std::string>{"mac-good"});
    for (const auto& [name, content] : bad) EXPECT_EQ(readFile(store.directory() / name), content) << name;
}

TEST(UploadStateStore, MissingDirectoryLoadsEmptyAndUnlistableOneFails) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-a", kT0));
    fs::remove_all(store.directory());
    EXPECT_TRUE(store.loadIncompleteStates().empty());
    writeFile(store.directory(), "a file where the folder was");
    EXPECT_THROW(store.loadIncompleteStates(), FileSystemError);
}

TEST(UploadStateStore, RemoveDeletesTheFileAndToleratesAbsence) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-a", kT0));
    store.save(makeState("mac-b", kT0));
    EXPECT_NO_THROW(store.remove("mac-none"));
    store.remove("mac-a");
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-b.json"});
}

TEST(UploadStateStore, RefusesIdsThatWouldLeaveItsDirectory) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    for (const char* id : {"../escape", "", ".hidden", "a/b"}) {
        EXPECT_THROW(store.save(makeState(id, kT0)), FileSystemError) << id;
        EXPECT_THROW(store.remove(id), FileSystemError) << id;
    }
    EXPECT_FALSE(fs::exists(tmp / "escape.json"));
}

TEST(AppPaths, FollowTheXdgVariablesWithHomeFallbacks) {
    test::TempDir tmp;
    ::setenv("HOME", tmp.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", "/data", 1);
    ::setenv("XDG_CONFIG_HOME", "/conf", 1);
    EXPECT_EQ(uploadsDirectory(), fs::path("/data/Velvetharbor/Uploads"));
    EXPECT_EQ(uploadPartsDirectory(), fs::path("/data/Velvetharbor/UploadParts"));
    EXPECT_EQ(configDirectory(), fs::path("/conf/velvetharbor"));
    ::setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored
    ::setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(appDataDirectory(), tmp.path() / ".local/share/Velvetharbor");
    EXPECT_EQ(configDirectory(), tmp.path() / ".config/velvetharbor");
}

}  // namespace
}  // namespace vhbr
