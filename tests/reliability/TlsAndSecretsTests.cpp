// An HTTPS service with a certificate no system authority signed is refused, and the bearer token
// and the sign-in verifier never show up in what the CLI prints or leaves on disk.

#include <atomic>
#include <fstream>

#include "LocalServer.hpp"
#include "ReliabilitySupport.hpp"

namespace vhbr::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kInvalidCertificate = "The certificate for this server is invalid.";
const std::string kSecretToken = "vh-secret-token-5b1f9c0e7d";

// An HTTPS server on 127.0.0.1 with a fresh self-signed certificate for that address.
class SelfSignedServer {
public:
    SelfSignedServer() {
        const auto key = dir / "key.pem", cert = dir / "cert.pem";
        const auto made = runProgram(
            {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1",
             "-keyout", key.string(), "-out", cert.string()},
            {{{"PATH", "/usr/bin:/bin"}}});
        if (made.exitCode != 0) throw std::runtime_error("openssl failed: " + made.output);
        server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
        if (!server->is_valid()) throw std::runtime_error("the TLS server could not load its certificate");
        const auto answer = [this](const httplib::Request&, httplib::Response& res) {
            ++served;
            res.set_content(R"({"id":"t","presignedURL":"https://127.0.0.1/x","objectKey":"k"})",
                            "application/json");
        };
        server->Post(R"(/.*)", answer);
        server->Put(R"(/.*)", answer);
        port = server->bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server->listen_after_bind(); });
        while (!server->is_running()) std::this_thread::sleep_for(2ms);
    }
    ~SelfSignedServer() {
        server->stop();
        thread.join();
    }
    std::string url(const std::string& path = "") const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }

    TempDir dir;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;
    std::atomic<int> served{0};
};

class TlsAndSecrets : public ::testing::Test {
protected:
    std::vector<std::pair<std::string, std::string>> environment(const std::string& api,
                                                                 const std::string& token = kSecretToken) {
        auto env = cliEnvironment(api, home.path(), token);
        for (auto& [name, value] : env)  // a browser launcher that does nothing
            if (name == "PATH") value = (home / "bin").string() + ":" + value;
        return env;
    }
    void SetUp() override {
        fs::create_directories(home / "bin");
        std::ofstream(home / "bin" / "xdg-open") << "#!/bin/sh\nexit 0\n";
        fs::permissions(home / "bin" / "xdg-open", fs::perms::owner_all);
    }
    void expectNoSecretIn(const ChildResult& run, const std::string& secret) {
        EXPECT_EQ(run.output.find(secret), std::string::npos) << run.output;
        EXPECT_FALSE(anyFileContains(home.path(), secret)) << "a file under the data folders holds it";
    }

    TempDir home;
};

// As the service (the API client itself, the CLI's upload and sign-in) or as the object store.
TEST_F(TlsAndSecrets, SelfSignedServiceOrObjectStoreIsRefused) {
    SelfSignedServer tls;
    try {
        APIClient(tls.url(), &UrlSession::shared(), 5s)
            .postRaw("/api/new-task/v2/tasks", json::object(), "t");
        ADD_FAILURE() << "the request went through";
    } catch (const TransportError& e) {
        EXPECT_STREQ(e.what(), kInvalidCertificate);
    }
    const auto file = writePatternFile(home / "clip.mp3", 256 * 1024, 800);
    const auto login = runCli({"login"}, {environment(tls.url())});
    EXPECT_EQ(login.exitCode, 1) << login.output;
    EXPECT_NE(login.output.find(std::string("Sign-in failed: ") + kInvalidCertificate), std::string::npos)
        << login.output;

    DevServerOptions options;
    options.tokens = {kSecretToken};
    DevServer service(options);
    service.fault({{"route", "upload-session"},
                   {"status", 200},
                   {"body", json{{"presignedURL", tls.url("/put")}, {"objectKey", "k"}}.dump()}});
    for (const auto& api : {tls.url(), service.baseUrl()}) {
        const auto upload = runCli({"upload", file.string()}, {environment(api)});
        EXPECT_EQ(upload.exitCode, 1) << upload.output;
        EXPECT_NE(upload.output.find(std::string("Upload failed: ") + kInvalidCertificate), std::string::npos)
            << upload.output;
        expectNoSecretIn(upload, kSecretToken);
    }
    EXPECT_EQ(tls.served, 0);

    // The kept state then resumes against the sound service, still without the token anywhere.
    service.reset();
    const auto resumed = runCli({"resume", "--yes"}, {environment(service.baseUrl())});
    EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
    expectNoSecretIn(resumed, kSecretToken);
}

TEST_F(TlsAndSecrets, TokensStayOutOfOutputWhenTheServiceRefusesThem) {
    DevServerOptions options;
    options.tokens = {"another-token"};
    DevServer service(options);
    const auto file = writePatternFile(home / "clip.mp3", 256 * 1024, 802);
    const auto fromEnvironment = runCli({"upload", file.string()}, {environment(service.baseUrl())});
    EXPECT_EQ(fromEnvironment.exitCode, 1) << fromEnvironment.output;
    EXPECT_NE(fromEnvironment.output.find("A valid bearer token is required."), std::string::npos)
        << fromEnvironment.output;
    expectNoSecretIn(fromEnvironment, kSecretToken);

    const auto fromCommand = runCli({"upload", file.string(), "--token-command", "echo " + kSecretToken},
                                    {environment(service.baseUrl(), "")});
    EXPECT_EQ(fromCommand.exitCode, 1) << fromCommand.output;
    expectNoSecretIn(fromCommand, kSecretToken);
}

TEST_F(TlsAndSecrets, SignInVerifierStaysOutOfOutput) {
    LocalServer local;
    std::mutex mutex;
    std::vector<std::string> verifiers;
    local.server().Post("/desktop-login/start", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"nonce":"n1"})", "application/json");
    });
    local.server().Post("/desktop-login/claim", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(mutex);
            verifiers.push_back(json::parse(req.body).value("codeVerifier", ""));
        }
        res.status = 500;
        res.set_content(R"({"error":"The claim could not be processed."})", "application/json");
    });
    local.start();
    const auto login = runCli({"login"}, {environment(local.url())});
    EXPECT_EQ(login.exitCode, 1) << login.output;
    EXPECT_NE(login.output.find("Sign-in failed: The claim could not be processed."), std::string::npos)
        << login.output;
    std::lock_guard lock(mutex);
    ASSERT_EQ(verifiers.size(), 1u);
    ASSERT_GE(verifiers[0].size(), 43u);
    expectNoSecretIn(login, verifiers[0]);
}

}  // namespace
}  // namespace vhbr::test
