#include <gtest/gtest.h>

#include <future>

#include "DevServer.hpp"
#include "LocalServer.hpp"
#include "Support/Errors.hpp"
#include "TempDir.hpp"
#include "Upload/BackgroundPartUploader.hpp"

namespace vhbr::test {
namespace {

using namespace std::chrono_literals;

class PartUploaderTest : public ::testing::Test {
protected:
    PartFile part(std::int64_t number, std::uint64_t size = 1000) {
        auto path = writePatternFile(dir / ("part-" + std::to_string(number)), size, static_cast<unsigned>(number));
        return PartFile{number, path, static_cast<std::int64_t>(size)};
    }

    TempDir dir;
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
        EXPECT_EQ(uploader.upload(part(4), server.url("/p"), "video/mp4"), (CompletedUploadPart{*GetParam().expected, 4}));
    else
        EXPECT_THROW(uploader.upload(part(4), server.url("/p"), "video/mp4"), AppError);
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
    EXPECT_THROW(uploader.upload(part(1), url, "video/mp4"), TransportError);
    try {
        uploader.upload(part(2), url, "video/mp4");
        FAIL();
    } catch (const APIError& e) {
        EXPECT_EQ(e.status(), 403);
    }
}

TEST_F(PartUploaderTest, PartsFinishingOutOfOrderKeepTheirOwnNumbersAndCarryOnlyTheirType) {
    server.server().Put(R"(/part/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
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
        auto r = uploader.upload(part(1), server.url("/part/1"), "audio/wav");
        firstOrder = ++finished;
        return r;
    });
    std::this_thread::sleep_for(100ms);
    auto second = uploader.upload(part(2), server.url("/part/2"), "audio/wav");
    ++finished;
    EXPECT_EQ(second, (CompletedUploadPart{"tag-2", 2}));
    EXPECT_EQ(first.get(), (CompletedUploadPart{"tag-1", 1}));
    EXPECT_EQ(firstOrder, 2);
}

}  // namespace
}  // namespace vhbr::test
