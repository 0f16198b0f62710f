#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "ChildProcess.hpp"
#include "DevServer.hpp"
#include "LocalServer.hpp"
#include "Platform/RunLoop.hpp"
#include "Platform/UrlSession.hpp"
#include "Platform/UserDefaults.hpp"
#include "TempDir.hpp"
#include "Update/TarballInstaller.hpp"
#include "Update/UpdateChecker.hpp"

namespace vhbr {
namespace {

namespace fs = std::filesystem;
using Phase = UpdateChecker::Phase;

const fs::path kBin = VHBR_BIN_DIR;

// A per-user tarball install of version 0.1.0 with the real CLI, the devserver serving a feed
// whose package is signed by our tool with a key pair made for this test.
class UpdateEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        writeTree(root / "versions" / "0.1.0", "0.1.0", /*realProgram=*/false);
        fs::create_directory_symlink("versions/0.1.0", root / "current");
        publicKey = run(kBin / "vhbr-sign-update", {"generate-key", (dir / "private.key").string()});
        publicKey.pop_back();  // the line break
    }

    // realProgram: the built CLI, which reports the version of the tree it runs from; otherwise a
    // stand-in file, which keeps packing and signing fast where the program is not run.
    static void writeTree(const fs::path& top, const std::string& version, bool realProgram) {
        fs::create_directories(top / "bin");
        fs::create_directories(top / "share" / "velvetharbor");
        if (realProgram)
            fs::copy_file(kBin / "velvetharbor-cli", top / "bin" / "velvetharbor-cli");
        else
            std::ofstream(top / "bin" / "velvetharbor-cli") << "#!/bin/sh\n";
        std::ofstream(top / "share" / "velvetharbor" / "Info.json")
            << R"({"CFBundleShortVersionString": ")" << version << R"(", "CFBundleVersion": ")" << version
            << "\"}";
    }

    std::string run(const fs::path& program, const std::vector<std::string>& args) {
        test::ChildProcess child(program, args, {}, dir.path());
        EXPECT_EQ(child.wait(std::chrono::seconds(30)), 0) << child.err();
        return child.out();
    }

    // Publishes velvetharbor-<version>.tar.gz (one top folder, as the release tarball has) and a
    // feed offering it; an attacker or a broken server may then change the package or its entry.
    enum class Fault { none, flippedByte, shorterPublishedLength };
    void publish(const std::string& version, bool realProgram, Fault fault = Fault::none,
                 std::optional<UpdateInstallation> install = std::nullopt) {
        const std::string name = "velvetharbor-" + version + "-linux";
        writeTree(dir / "stage" / name, version, realProgram);
        const fs::path package = server.dataDir() / "updates" / (name + ".tar.gz");
        run("/bin/tar", {"-I", "gzip -1", "-cf", package.string(), "-C", (dir / "stage").string(), name});
        std::string attributes =
            run(kBin / "vhbr-sign-update", {"sign", package.string(), (dir / "private.key").string()});
        attributes.pop_back();
        if (fault == Fault::flippedByte) {
            std::fstream f(package, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(100);
            f.put('\x7f');
        }
        if (fault == Fault::shorterPublishedLength) {
            const auto at = attributes.find("length=\"") + 8, end = attributes.find('"', at);
            attributes.replace(at, end - at,
                               std::to_string(std::stoull(attributes.substr(at, end - at)) - 1));
        }
        std::ofstream(server.dataDir() / "updates" / "appcast.xml")
            << R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><title>Velvetharbor )"
            << version << "</title><sparkle:version>" << version
            << "</sparkle:version><description><![CDATA[<p>Faster uploads.</p>]]></description>"
            << "<enclosure url=\"" << server.baseUrl() << "/updates/" << name
            << ".tar.gz\" type=\"application/gzip\" "
            << "sparkle:os=\"" << install.value_or(installation()).platform() << "\" " << attributes
            << "/></item></channel></rss>";
    }

    UpdateInstallation installation() const {
        return UpdateInstallation::detect(root / "versions" / "0.1.0" / "bin" / "velvetharbor-cli");
    }

    std::unique_ptr<UpdateChecker> makeChecker(std::optional<UpdateInstallation> install = std::nullopt,
                                               std::string feedURL = {}) {
        UpdateChecker::Configuration c;
        c.feedURL = feedURL.empty() ? server.baseUrl() + "/updates/appcast.xml" : feedURL;
        c.publicKey = publicKey;
        c.runningVersion = c.runningShortVersion = "0.1.0";
        c.installation = install.value_or(installation());
        c.downloadDirectory = dir / "cache";
        c.network.idleTimeout = c.network.connectTimeout = std::chrono::seconds(5);
        c.progressInterval = std::chrono::milliseconds(0);
        auto checker = std::make_unique<UpdateChecker>(c, loop, defaults, session);
        checker->signalChanged.connect([this, raw = checker.get()] { seen.push_back(raw->state()); });
        return checker;
    }

    void waitFor(UpdateChecker& checker, Phase phase) {
        const bool reached =
            loop.runUntil([&] { return checker.state().phase == phase; }, std::chrono::seconds(20));
        ASSERT_TRUE(reached) << "phase " << static_cast<int>(checker.state().phase) << ": "
                             << checker.state().message;
    }

    test::TempDir dir;
    fs::path root = dir / "install";
    test::DevServer server;
    RunLoop loop;
    UserDefaults defaults{dir / "defaults.json"};
    UrlSession session;
    std::string publicKey;
    std::vector<UpdateChecker::State> seen;
};

TEST_F(UpdateEndToEnd, InstallsASignedTarballAndTheNewVersionRunsFromTheSwitchedLink) {
    ASSERT_EQ(installation().kind, UpdateInstallation::Kind::tarball);
    publish("99.0.0", /*realProgram=*/true);
    auto checker = makeChecker();
    checker->checkForUpdates();
    waitFor(*checker, Phase::available);
    EXPECT_EQ(checker->state().item->version, "99.0.0");
    EXPECT_EQ(checker->state().item->releaseNotes, "<p>Faster uploads.</p>");
    ASSERT_TRUE(checker->state().canInstall);

    checker->installUpdate();
    waitFor(*checker, Phase::installed);
    const auto& item = *checker->state().item;
    ASSERT_FALSE(seen.empty());
    bool sawFullProgress = false;
    for (const auto& s : seen)
        sawFullProgress |= s.phase == Phase::downloading && s.received == item.enclosure.length;
    EXPECT_TRUE(sawFullProgress);

    const fs::path relaunch = checker->state().relaunchProgram;
    EXPECT_EQ(relaunch, root / "current" / "bin" / "velvetharbor-cli");
    EXPECT_EQ(fs::read_symlink(root / "current"), fs::path("versions/99.0.0"));
    EXPECT_EQ(run(relaunch, {"--version"}), "velvetharbor-cli 99.0.0\n");
    EXPECT_TRUE(fs::exists(root / "versions" / "0.1.0")) << "kept until the new version has started";
    EXPECT_TRUE(fs::is_empty(dir / "cache")) << "the installed package is not kept";

    // An old version still running leaves the files alone; the new one, once it runs, clears them.
    TarballInstaller(root).removeOldVersions("0.1.0");
    EXPECT_TRUE(fs::exists(root / "versions" / "0.1.0"));
    TarballInstaller(root).removeOldVersions("99.0.0");
    EXPECT_FALSE(fs::exists(root / "versions" / "0.1.0"));
    EXPECT_EQ(run(relaunch, {"--version"}), "velvetharbor-cli 99.0.0\n");
}

TEST_F(UpdateEndToEnd, ADebianInstallGetsTheVerifiedPackageToHandToTheSoftwareInstaller) {
    UpdateInstallation debian;
    debian.kind = UpdateInstallation::Kind::debian;
    publish("99.0.0", false, Fault::none, debian);
    auto checker = makeChecker(debian);
    checker->checkForUpdates();
    waitFor(*checker, Phase::available);
    checker->installUpdate();
    waitFor(*checker, Phase::readyToOpen);
    EXPECT_EQ(checker->state().package, dir / "cache" / "velvetharbor-99.0.0-linux.tar.gz");
    EXPECT_EQ(fs::file_size(checker->state().package), checker->state().item->enclosure.length);
    EXPECT_EQ(fs::read_symlink(root / "current"), fs::path("versions/0.1.0"))
        << "the tarball install is not touched";
}

// A package that does not match what was published, or no feed at all: the user reads why, and
// nothing is kept or installed.
TEST_F(UpdateEndToEnd, RefusedUpdatesLeaveTheInstallUntouched) {
    const std::pair<Fault, std::string> cases[] = {
        {Fault::flippedByte, "because its signature does not match"},
        {Fault::shorterPublishedLength, "because the download is larger than the published size."}};
    for (const auto& [fault, message] : cases) {
        SCOPED_TRACE(message);
        publish("99.0.0", /*realProgram=*/false, fault);
        auto checker = makeChecker();
        checker->checkForUpdates();
        waitFor(*checker, Phase::available);
        checker->installUpdate();
        waitFor(*checker, Phase::failed);
        EXPECT_NE(checker->state().message.find(message), std::string::npos) << checker->state().message;
        EXPECT_EQ(fs::read_symlink(root / "current"), fs::path("versions/0.1.0"));
        EXPECT_TRUE(fs::is_empty(dir / "cache"));
        EXPECT_FALSE(fs::exists(root / "versions" / "99.0.0"));
    }
    fs::remove(server.dataDir() / "updates" / "appcast.xml");
    auto checker = makeChecker();
    checker->checkForUpdates();
    waitFor(*checker, Phase::failed);
    EXPECT_EQ(checker->state().message,
              "The update information could not be loaded (the server returned status 404).");
}

TEST_F(UpdateEndToEnd, ASkippedVersionStaysQuietInBackgroundChecksButAnAskedCheckOffersIt) {
    publish("99.0.0", false);
    auto checker = makeChecker();
    checker->checkForUpdates();
    waitFor(*checker, Phase::available);
    checker->skipThisVersion();
    EXPECT_EQ(UserDefaults(dir / "defaults.json").string(UpdateChecker::kSkippedVersionKey), "99.0.0");

    seen.clear();
    checker->checkForUpdates(/*userInitiated=*/false);
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() == 2; }, std::chrono::seconds(20)));
    EXPECT_EQ(checker->state().phase, Phase::idle);

    checker->checkForUpdates();
    waitFor(*checker, Phase::available);

    publish("0.0.9", false);
    checker->remindMeLater();
    checker->checkForUpdates();
    waitFor(*checker, Phase::upToDate);
    EXPECT_EQ(checker->state().upToDateVersion, "0.1.0");
}

TEST_F(UpdateEndToEnd, CancellingADownloadStopsAtOnceAndLeavesNothingBehind) {
    constexpr std::size_t kLength = 10u << 20;
    test::LocalServer local;
    local.server().Get("/appcast.xml", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("<rss><channel><item><sparkle:version>99.0</sparkle:version><enclosure url=\"" +
                            local.url("/slow.tar.gz") + "\" length=\"" + std::to_string(kLength) +
                            "\" sparkle:os=\"" + installation().platform() +
                            "\" sparkle:edSignature=\"c2ln\"/></item></channel></rss>",
                        "application/rss+xml");
    });
    // The first 64 KiB at once, then nothing for longer than the test may wait.
    local.server().Get("/slow.tar.gz", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(kLength, "application/gzip",
                                 [&](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset > 0) {
                                         local.stall(std::chrono::seconds(30));
                                         return false;
                                     }
                                     const std::string chunk(64 * 1024, 'x');
                                     return sink.write(chunk.data(), chunk.size());
                                 });
    });
    local.start();
    auto checker = makeChecker(std::nullopt, local.url("/appcast.xml"));
    checker->checkForUpdates();
    waitFor(*checker, Phase::available);
    checker->installUpdate();
    ASSERT_TRUE(loop.runUntil([&] { return checker->state().received > 0; }, std::chrono::seconds(20)));

    const auto start = std::chrono::steady_clock::now();
    checker->cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(checker->state().phase, Phase::idle);
    EXPECT_TRUE(fs::is_empty(dir / "cache"));
    loop.runUntil([] { return false; }, std::chrono::milliseconds(200));  // stale posts change nothing
    EXPECT_EQ(checker->state().phase, Phase::idle);
}

}  // namespace
}  // namespace vhbr
