// Bearer tokens expire: a fresh one is asked of the token provider before the completion steps,
// and once more after the service refuses one (401), so a long upload outlives its first token.

#include <atomic>

#include "UploadManagerFixture.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Hands out a token freshly issued by the service at every request, as a signed-in web app does.
class IssuingTokenProvider : public TokenProvider {
public:
    explicit IssuingTokenProvider(DevServer& server) : server_(server) {}
    std::future<std::string> idToken() override {
        ++asked;
        std::promise<std::string> token;
        token.set_value(server_.post("/__dev/token", json::object())["token"].get<std::string>());
        return token.get_future();
    }
    std::atomic<int> asked{0};

private:
    DevServer& server_;
};

TEST_F(UploadManagerTest, ALongUploadOutlivesItsFirstToken) {
    struct Case {
        const char* name;
        json fault;
        int tokensAtLeast;  // asked of the provider
        int notices;        // completion notices sent
    };
    const std::vector<Case> cases{
        // Tokens live 1.5 s and the parts take 2 s: the completion needs a fresh one.
        {"the token expires during the transfer", {{"route", "part-put"}, {"times", 5}, {"delayMs", 2000}}, 2, 1},
        // The service refuses the token of the completion notice once: a fresh one, and it goes on.
        {"the completion notice is refused once", {{"route", "upload-complete"}, {"status", 401}}, 3, 2},
    };
    unsigned index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        server.post("/__dev/token-lifetime", {{"lifetimeMs", 1500}});
        server.fault(c.fault);
        IssuingTokenProvider provider(server);
        auto manager = makeManager();
        manager->setTokenProvider(&provider);
        ++index;
        const auto file = mediaFile("token-" + std::to_string(index) + ".mov", 50 * kMiB, 60 + index);
        manager->start(draftFor(file));
        waitForJobs(*manager);
        const auto& model = *manager->activeUploads().at(0);
        ASSERT_EQ(model.status().kind(), Status::Kind::completed) << model.status().message().value_or("");
        EXPECT_EQ(storedTask(*model.taskID())->value("sha256", ""), sha256OfFile(file));
        EXPECT_GE(provider.asked.load(), c.tokensAtLeast);
        // No completion step was refused for an expired token but the one the fault refused.
        EXPECT_EQ(server.requestCount("complete-multipart-upload"), 1);
        EXPECT_EQ(server.requestCount("upload-complete"), c.notices);
    }
}

}  // namespace
}  // namespace vhbr::test
