// State files that are not ours or not whole: each is skipped and left exactly as it was, and the
// good states beside them still load, list and resume.

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <set>

#include "ReliabilitySupport.hpp"
#include "Upload/UploadStateStore.hpp"

namespace vhbr::test {
namespace {

namespace fs = std::filesystem;
using Status = UploadTaskStatus;
using namespace std::chrono_literals;

UploadState goodState(const std::string& id, std::chrono::sys_seconds updated) {
    UploadState state;
    state.clientRequestId = id;
    state.fileName = id + ".mp3";
    state.fileSize = 1234;
    state.mimeType = "audio/mpeg";
    state.intent = UploadIntent::subtitle;
    state.sourceLanguage = "auto";
    state.targetLanguage = "en";
    state.createdAt = state.updatedAt = updated;
    return state;
}

struct Snapshot {
    std::string content;
    struct timespec modified {};
    off_t size = 0;
};

Snapshot snapshot(const fs::path& path) {
    Snapshot s;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        s.modified = st.st_mtim;
        s.size = st.st_size;
        if (S_ISREG(st.st_mode) && st.st_size < static_cast<off_t>(8 * kMiB)) s.content = readFile(path);
    }
    return s;
}

class BadStateFiles : public ReliabilityTest {
protected:
    void write(const std::string& name, const std::string& content) {
        std::ofstream(stateDir() / name, std::ios::binary) << content;
    }

    // Plants every kind of bad file beside the good ones; returns their names.
    std::vector<std::string> plantBadFiles() {
        const std::string valid = encodeUploadState(goodState("template", std::chrono::sys_seconds{}));
        const auto replaced = [&](const std::string& from, const std::string& to) {
            std::string text = valid;
            text.replace(text.find(from), from.size(), to);
            return text;
        };
        std::set<std::string> existing;
        for (const auto& entry : fs::directory_iterator(stateDir())) existing.insert(entry.path().filename());
        std::string garbage(4096, '\0');
        std::mt19937 random(7);
        for (auto& c : garbage) c = static_cast<char>(random());
        std::string padded = valid;
        padded.insert(1, "\"padding\":\"" + std::string(2 * kMiB, 'p') + "\",");

        write("truncated.json", valid.substr(0, valid.size() / 2));
        write("empty.json", "");
        write("garbage.json", garbage);
        write("huge-valid.json", padded);
        write("nested.json", std::string(200000, '[') + std::string(200000, ']'));
        write("not-utf8.json", replaced("template.mp3", "\xff\xfe.mp3"));
        write("size-as-text.json", replaced("\"fileSize\":1234", "\"fileSize\":\"1234\""));
        write("size-as-fraction.json", replaced("\"fileSize\":1234", "\"fileSize\":1234.5"));
        write("size-too-big.json", replaced("\"fileSize\":1234", "\"fileSize\":18446744073709551615"));
        write("parts-as-object.json", replaced("\"completedParts\":[]", "\"completedParts\":{}"));
        write("part-number-as-text.json",
              replaced("\"completedParts\":[]", "\"completedParts\":[{\"eTag\":\"e\",\"partNumber\":\"1\"}]"));
        write("id-null.json", replaced("\"clientRequestId\":\"template\"", "\"clientRequestId\":null"));
        write("intent-number.json", replaced("\"intent\":\"subtitle\"", "\"intent\":1"));
        write("bookmark-not-base64.json", replaced("\"intent\"", "\"sourceBookmark\":\"***\",\"intent\""));
        write("date-with-fraction.json", replaced("1970-01-01T00:00:00Z\"}", "1970-01-01T00:00:00.5Z\"}"));
        write("date-with-offset.json", replaced("1970-01-01T00:00:00Z\"}", "1970-01-01T00:00:00+00:00\"}"));
        write("date-as-number.json", replaced("\"1970-01-01T00:00:00Z\"}", "0}"));
        write("top-level-array.json", "[" + valid + "]");
        // A sparse file of 4 GiB: reading it whole would exhaust memory.
        {
            std::ofstream(stateDir() / "sparse-huge.json");
            fs::resize_file(stateDir() / "sparse-huge.json", std::uint64_t{4} << 30);
        }
        fs::create_directory(stateDir() / "directory.json");
        ::mkfifo((stateDir() / "fifo.json").c_str(), 0600);
        fs::create_symlink("/dev/zero", stateDir() / "device.json");
        fs::create_symlink(stateDir() / "nowhere", stateDir() / "dangling.json");
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(stateDir()))
            if (!existing.contains(entry.path().filename())) names.push_back(entry.path().filename());
        return names;
    }
};

TEST_F(BadStateFiles, AreSkippedUntouchedWhileGoodStatesLoad) {
    const UploadStateStore store(stateDir());
    const auto bad = plantBadFiles();
    std::map<std::string, Snapshot> before;
    for (const auto& name : bad) before[name] = snapshot(stateDir() / name);
    const auto t = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    store.save(goodState("older", t - 10s));
    store.save(goodState("newer", t));

    const auto started = std::chrono::steady_clock::now();
    const auto states = store.loadIncompleteStates();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].clientRequestId, "newer");
    EXPECT_EQ(states[1].clientRequestId, "older");

    // The manager's launch load and the CLI see the same two, and neither stumbles.
    EXPECT_EQ(makeFastManager(1s)->resumableStates().size(), 2u);
    TempDir home;
    fs::create_directories(home / "data" / "Velvetharbor");
    fs::create_directory_symlink(stateDir(), home / "data" / "Velvetharbor" / "Uploads");
    const auto listed = runCli({"list"}, {cliEnvironment(server.baseUrl(), home.path(), "test-token")});
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    EXPECT_EQ(listed.output, "newer newer.mp3 1234 0/1\nolder older.mp3 1234 0/1\n");

    for (const auto& name : bad) {
        const auto after = snapshot(stateDir() / name);
        EXPECT_EQ(after.content, before[name].content) << name;
        EXPECT_EQ(after.size, before[name].size) << name;
        EXPECT_EQ(after.modified.tv_sec, before[name].modified.tv_sec) << name;
        EXPECT_EQ(after.modified.tv_nsec, before[name].modified.tv_nsec) << name;
    }
}

TEST_F(BadStateFiles, DoNotStopAGoodUploadFromResuming) {
    const auto file = mediaFile("interrupted.mov", 50 * kMiB + 1, 600);
    server.fault({{"route", "complete-multipart-upload"}, {"status", 503}});
    {
        auto manager = makeFastManager(5s);
        manager->start(draftFor(file));
        waitForJobs(*manager);
    }
    server.reset();
    const auto bad = plantBadFiles();
    auto manager = relaunchAndResume(5s);
    ASSERT_EQ(manager->activeUploads().size(), 1u);
    EXPECT_EQ(manager->activeUploads()[0]->status().kind(), Status::Kind::completed);
    EXPECT_EQ(onlyTaskFor("interrupted.mov")->value("sha256", ""), sha256OfFile(file));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(stateDir())) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    auto expected = bad;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
}

}  // namespace
}  // namespace vhbr::test
