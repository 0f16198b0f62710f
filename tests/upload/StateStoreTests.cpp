#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
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
                       .media = {.fileName = id + ".mp4", .fileSize = 1, .mimeType = "video/mp4"},
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

TEST(UploadStateStore, CreatesItsPrivateDirectoryWithParentsByDefaultUnderTheDataHome) {
    test::TempDir tmp;
    ::setenv("XDG_DATA_HOME", (tmp / "a/b").c_str(), 1);
    const UploadStateStore store;
    EXPECT_EQ(store.directory(), tmp / "a/b/Velvetharbor/Uploads");
    EXPECT_EQ(fs::status(store.directory()).permissions() & fs::perms::all, fs::perms::owner_all);
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

// A save replaces the whole file at once: the second content reads back, no temporary is left.
TEST(UploadStateStore, SavedStateReadsBackAndASecondSaveReplacesIt) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    UploadState state = makeState("mac-a", kT0);
    state.taskId = "t";
    state.completedParts = {{"e1", 1}};
    state.sourceBookmark = std::string("\0\xff", 2);
    store.save(makeState("mac-a", kT0 - 5s));
    store.save(state);
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-a.json"});
    EXPECT_EQ(store.loadIncompleteStates(), std::vector<UploadState>{state});
}

TEST(UploadStateStore, FailedSaveLeavesTheEarlierFileAndNoTemporaryFile) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-a", kT0));
    const std::string before = readFile(store.directory() / "mac-a.json");
    UploadState big = makeState("mac-a", kT0 + 1s);
    big.completedParts.assign(512, {"0123456789abcdef0123456789abcdef", 1});
    std::signal(SIGXFSZ, SIG_IGN);  // as the application does: report EFBIG instead of dying
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit lowered{before.size() + 16, saved.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &lowered);
    EXPECT_THROW(store.save(big), FileSystemError);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(readFile(store.directory() / "mac-a.json"), before);
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-a.json"});
}

// Files that are not ours or not whole (their content's faults are the decoder's table): each is
// skipped quickly and left exactly as it was, and the good states beside them still load.
TEST(UploadStateStore, SkipsBadFilesQuicklyAndLeavesThemUntouched) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    const fs::path dir = store.directory();
    const std::string valid = encodeUploadState(makeState("mac-x", kT0));
    std::string garbage(4096, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7919 % 251);
    const std::pair<std::string, std::string> written[] = {
        {"garbage.json", garbage},
        {"invalid.json", valid.substr(0, valid.size() / 2)},
        {"huge.json", valid + std::string(2 << 20, ' ')},  // valid, but far above any state's size
        {"a.JSON", valid},
        {".hidden.json", valid},
        {"notes.txt", valid},
        {"b.json.bak", valid},
    };
    for (const auto& [name, content] : written) writeFile(dir / name, content);
    std::ofstream(dir / "sparse.json").close();
    fs::resize_file(dir / "sparse.json", std::uint64_t{4} << 30);  // reading it whole would exhaust memory
    fs::create_directory(dir / "folder.json");
    ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);  // opening it for reading must not hang
    fs::create_symlink("/dev/zero", dir / "device.json");
    fs::create_symlink(dir / "nowhere", dir / "dangling.json");
    std::map<std::string, struct stat> before;
    for (const auto& entry : fs::directory_iterator(dir))
        ::lstat(entry.path().c_str(), &before[entry.path().filename()]);
    store.save(makeState("mac-older", kT0));
    store.save(makeState("mac-newer", kT0 + 1s));

    const auto started = steady_clock::now();
    EXPECT_EQ(ids(store.loadIncompleteStates()), (std::vector<std::string>{"mac-newer", "mac-older"}));
    EXPECT_LT(steady_clock::now() - started, 2s);
    for (const auto& [name, content] : written) EXPECT_EQ(readFile(dir / name), content) << name;
    for (const auto& [name, st] : before) {
        struct stat after {};
        ::lstat((dir / name).c_str(), &after);
        EXPECT_EQ(after.st_size, st.st_size) << name;
        EXPECT_EQ(after.st_mtim.tv_nsec, st.st_mtim.tv_nsec) << name;
        EXPECT_EQ(after.st_mtim.tv_sec, st.st_mtim.tv_sec) << name;
    }
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

// Ids come from state files and the service's keys: none may name a file outside the folder.
TEST(UploadStateStore, RemoveDeletesOnlyItsOwnFileAndIdsNeverLeaveTheFolder) {
    test::TempDir tmp;
    UploadStateStore store(tmp / "Uploads");
    store.save(makeState("mac-a", kT0));
    store.save(makeState("mac-b", kT0));
    EXPECT_NO_THROW(store.remove("mac-none"));
    store.remove("mac-a");
    EXPECT_EQ(namesIn(store.directory()), std::vector<std::string>{"mac-b.json"});
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
