#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "DevServer.hpp"
#include "LocalServer.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/BackgroundPartUploader.hpp"

namespace vhbr::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kTestPartSize = 1000;

class PartUploaderTest : public ::testing::Test {
protected:
    ~PartUploaderTest() override { ::close(source); }

    // Part number's bytes of the source: parts of 1000 bytes here.
    static PartRange part(std::int64_t number) { return {number, (number - 1) * kTestPartSize, kTestPartSize}; }
    std::string bytesOf(const PartRange& range) const {
        std::ifstream in(sourcePath, std::ios::binary);
        in.seekg(range.offset);
        std::string bytes(static_cast<std::size_t>(range.length), '\0');
        in.read(bytes.data(), range.length);
        return bytes;
    }

    TempDir dir;
    std::filesystem::path sourcePath = writePatternFile(dir / "source.wav", 8 * kTestPartSize, 5);
    int source = ::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    LocalServer server;  // declared before the uploader, which closes its connections first
    BackgroundPartUploader uploader{"com.velvetharbor.linux.upload.parts"};
};

struct ETagCase {
    std::optional<std::string> header;
    std::optional<std::string> expected;  // none: the part counts as not accepted
};

class PartUploaderETagTest : public PartUploaderTest, public ::testing::WithParamInterface<ETagCase> {};

TEST_P(PartUploaderETagTest, StripsSurroundingQuotesAndAPartWithoutATagFails) {
    server.server().Put("/p", [](const httplib::Request&, httplib::Response& res) {
        if (GetParam().header) res.set_header("ETag", *GetParam().header);
    });
    server.start();
    if (GetParam().expected)
        EXPECT_EQ(uploader.upload(source, part(4), server.url("/p"), "video/mp4"), (CompletedUploadPart{*GetParam().expected, 4}));
    else
        EXPECT_THROW(uploader.upload(source, part(4), server.url("/p"), "video/mp4"), AppError);
}

INSTANTIATE_TEST_SUITE_P(Tags, PartUploaderETagTest,
                         ::testing::Values(ETagCase{"\"abc123\"", "abc123"}, ETagCase{"abc123", "abc123"},
                                           ETagCase{"\"\"abc\"\"", "abc"}, ETagCase{std::nullopt, std::nullopt},
                                           ETagCase{"\"\"", std::nullopt}));

TEST_F(PartUploaderTest, NoAnswerIsATransportErrorAndAStatusOutside2xxThatStatus) {
    DevServer devserver;
    devserver.fault({{"route", "object-put"}, {"drop", true}});
    devserver.fault({{"route", "object-put"}, {"status", 403}});
    const auto url = devserver.presign("x/y");
    EXPECT_THROW(uploader.upload(source, part(1), url, "video/mp4"), TransportError);
    try {
        uploader.upload(source, part(2), url, "video/mp4");
        FAIL();
    } catch (const APIError& e) {
        EXPECT_EQ(e.status(), 403);
    }
}

TEST_F(PartUploaderTest, PartsFinishingOutOfOrderKeepTheirOwnNumbersAndCarryOnlyTheirType) {
    server.server().Put(R"(/part/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
        // Exactly the part's range of the source, read while it is sent.
        EXPECT_EQ(req.body, bytesOf(part(std::stoi(req.matches[1]))));
        // The URL is the credential: the bearer token never goes to the storage.
        EXPECT_EQ(req.get_header_value("Content-Type"), "audio/wav");
        EXPECT_FALSE(req.has_header("Authorization"));
        if (req.matches[1] == "1") server.stall(600ms);
        res.set_header("ETag", "\"tag-" + std::string(req.matches[1]) + "\"");
    });
    server.start();
    std::atomic<int> finished{0};
    int firstOrder = 0;
    auto first = std::async(std::launch::async, [&] {
        auto r = uploader.upload(source, part(1), server.url("/part/1"), "audio/wav");
        firstOrder = ++finished;
        return r;
    });
    std::this_thread::sleep_for(100ms);
    auto second = uploader.upload(source, part(2), server.url("/part/2"), "audio/wav");
    ++finished;
    EXPECT_EQ(second, (CompletedUploadPart{"tag-2", 2}));
    EXPECT_EQ(first.get(), (CompletedUploadPart{"tag-1", 1}));
    EXPECT_EQ(firstOrder, 2);
}

TEST(PartRange, PartsOfTenMebibytesTheLastShorterAndAtLeastOne) {
    const std::pair<std::int64_t, std::int64_t> counts[] = {
        {-5, 1},         {0, 1},          {1, 1},          {10'485'759, 1},
        {10'485'760, 1}, {10'485'761, 2}, {26'214'400, 3}, {5'368'709'120, 512},
    };
    for (const auto& [size, count] : counts) EXPECT_EQ(partCount(size), count) << size;
    EXPECT_EQ(PartRange::of(1, 26'214'400), (PartRange{1, 0, kPartSize}));
    EXPECT_EQ(PartRange::of(3, 26'214'400), (PartRange{3, 2 * kPartSize, 26'214'400 - 2 * kPartSize}));
    EXPECT_EQ(PartRange::of(1, 0), (PartRange{1, 0, 0}));
}

}  // namespace
}  // namespace vhbr::test
