// The JavaScript bridge: a script message posted to "vhbrShell" by whatever page the web view
// shows, handed to the app model as the web view hands it (the message's JSON text parsed, a
// message that is not JSON dropped). Any page can run script, so any body can arrive.
//
// The input's first line is the address of the document that posted the message, as the web
// view's relay reports its origin (a leading "*": a subframe's document, not the main frame); the
// page shown is the same address. The rest is the message's JSON text.
//
// Invariants: nothing escapes the bridge's handleMessage (it runs inside a WebKit signal); a page outside
// the web app's origin (by an independent reading of its address), or a subframe, changes nothing; the
// signed-in user is exactly what an "authState" message said; only a task event records a task, and only its
// own id; a task page opened for any recorded id stays on the web app's origin.

#include <curl/curl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "AppModel.hpp"
#include "FuzzCheck.hpp"
#include "Platform/RunLoop.hpp"
#include "Platform/Url.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

constexpr const char* kWebApp = "http://127.0.0.1:8123/app";

class PageShell : public WebShell {
public:
    void load(const std::string& url, std::chrono::seconds) override { loads.push_back(url); }
    void reload() override {}
    std::optional<std::string> currentURL() const override { return page; }
    std::optional<std::string> committedURL() const override { return page; }
    void callAsyncJavaScript(const std::string&, const nlohmann::json&,
                             ScriptCompletion completion) override {
        completion(ScriptResult{nullptr, "no page renderer here"});
    }
    std::optional<std::string> page;
    std::vector<std::string> loads;
};

struct NoPresenter : WindowPresenter {
    void presentMainWindow() override {}
};
struct NoBrowser : BrowserOpener {
    void open(const std::string&, NotOpened) override {}
};

// scheme://host:port as curl reads the address, or nothing.
std::optional<std::string> originOf(const std::string& address) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (curl_url_set(u.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK) return std::nullopt;
    std::string parts[3];
    const CURLUPart which[3] = {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT};
    for (int i = 0; i < 3; ++i) {
        char* value = nullptr;
        if (curl_url_get(u.get(), which[i], &value, CURLU_DEFAULT_PORT) != CURLUE_OK) return std::nullopt;
        parts[i] = value;
        curl_free(value);
    }
    return parts[0] + "://" + parts[1] + ":" + parts[2];
}

// One model for the whole run: its store and settings in a private folder, its API on a closed
// port, so a "startLogin" fails at once instead of reaching a service.
struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/vhbr-fuzz-bridge-XXXXXX";
        dir = ::mkdtemp(pattern);
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        AppModel::Options options;
        options.loginPollIntervalSeconds = 0.01;
        options.upload.partDirectory = dir / "parts";
        options.upload.lockDirectory = dir / "locks";
        AppModel::Services services{loop, defaults, bundle, browser, presenter};
        model = std::make_unique<AppModel>(services, AppConfig{kWebApp, "http://127.0.0.1:9"}, options);
        model->setWebShell(&shell);
    }
    ~Fixture() {
        model.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::filesystem::path dir;
    RunLoop loop;
    UserDefaults defaults{dir / "defaults.json"};
    BundleInfo bundle{nlohmann::json::object()};
    NoBrowser browser;
    NoPresenter presenter;
    PageShell shell;
    std::unique_ptr<AppModel> model;
};

std::optional<std::string> stringAt(const nlohmann::json& body, const char* key) {
    const auto it = body.find(key);
    return it != body.end() && it->is_string() ? std::optional(it->get<std::string>()) : std::nullopt;
}

void checkAuthState(const nlohmann::json& body, const ShellAuthState& state) {
    const auto signedIn = body.find("signedIn");
    if (signedIn != body.end() && *signedIn == true) {
        check(state == ShellAuthState::signedIn(stringAt(body, "uid"), stringAt(body, "email")),
              "the signed-in user is not the one the message named");
    } else {
        check(state == ShellAuthState::signedOut(), "a message without signedIn: true signed someone in");
    }
}

void checkRecordedTasks(const nlohmann::json& body, const std::vector<std::string>& before,
                        const std::vector<std::string>& after, PageShell& shell, AppModel& model) {
    if (after == before) return;
    const auto type = stringAt(body, "type");
    check(type == "taskCreated" || type == "taskStatusChanged", "a task recorded by another message");
    check(!after.empty() &&
              (after.front() == stringAt(body, "id") || after.front() == stringAt(body, "taskId")),
          "a task recorded under another id");
    shell.loads.clear();
    model.navigateToTask(after.front());
    for (const auto& url : shell.loads)
        check(originOf(url) == originOf(kWebApp), "a task page outside the web app", url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    AppModel& model = *fixture.model;

    const std::string_view input = fuzz::asText(data, size);
    const auto newline = input.find('\n');
    if (newline == std::string_view::npos) return 0;
    std::string_view address = input.substr(0, newline);
    const bool mainFrame = !address.starts_with('*');
    if (!mainFrame) address.remove_prefix(1);
    fixture.shell.page = std::string(address);
    const ScriptMessageSource source{std::string(address), mainFrame};
    auto body = nlohmann::json::parse(input.substr(newline + 1), nullptr, false);
    if (body.is_discarded()) return 0;

    const auto authBefore = model.authState();
    const auto loginBefore = model.loginStatus();
    const auto tasksBefore = model.uploadManager().completedTaskIDs();
    bool loginStarted = false;
    sigc::connection watch = model.loginStatusChanged.connect(
        [&] { loginStarted |= model.loginStatus().kind == LoginStatus::Kind::working; });
    struct Disconnect {
        sigc::connection& connection;
        ~Disconnect() { connection.disconnect(); }
    } disconnect{watch};

    fuzz::succeeds<fuzz::NeverThrown>([&] { model.bridge().handleMessage(body, source); }, "handleMessage");
    // A sign-in that started fails on the closed port; wait for it so the next input starts clean.
    check(fixture.loop.runUntil([&] { return model.loginStatus().kind != LoginStatus::Kind::working; },
                                std::chrono::seconds(10)),
          "a sign-in against a closed port did not end");

    const bool fromWebApp = mainFrame && originOf(*fixture.shell.page) == originOf(kWebApp);
    if (!fromWebApp) {
        check(model.authState() == authBefore && model.loginStatus() == loginBefore && !loginStarted &&
                  model.uploadManager().completedTaskIDs() == tasksBefore,
              "a page outside the web app changed the session", *fixture.shell.page);
        return 0;
    }
    const auto type = body.is_object() ? stringAt(body, "type") : std::nullopt;
    if (type == "authState")
        checkAuthState(body, model.authState());
    else if (type == "startLogin")
        check(loginStarted || loginBefore.kind == LoginStatus::Kind::working,
              "startLogin did not start a sign-in");
    else
        check(model.authState() == authBefore && !loginStarted, "another message changed the session");
    checkRecordedTasks(body, tasksBefore, model.uploadManager().completedTaskIDs(), fixture.shell, model);
    return 0;
}
