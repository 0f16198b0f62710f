// The display-free rules of the window: web view policies, overlays, opened URIs and drops, the
// quit question, the status menu, the confirmation sheet, update availability and log scrubbing.

#include <gtest/gtest.h>

#include "AppLifecycle.hpp"
#include "ShellOverlay.hpp"
#include "ShellWebPolicy.hpp"
#include "SoftwareUpdater.hpp"
#include "StatusDropRule.hpp"
#include "StatusMenu.hpp"
#include "Support/Log.hpp"
#include "UploadConfirmModel.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;
namespace Policy = ShellWebPolicy;
using Decision = Policy::Decision;

template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// ---- Navigation ----

struct NavigationCase {
    const char* name;
    Policy::NavigationAction action;
    Policy::NavigationVerdict verdict;
};
void PrintTo(const NavigationCase& c, std::ostream* os) { *os << c.name; }
class NavigationPolicyTest : public ::testing::TestWithParam<NavigationCase> {};

TEST_P(NavigationPolicyTest, Decides) {
    EXPECT_EQ(Policy::decideNavigation(GetParam().action), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Shell, NavigationPolicyTest,
    ::testing::Values(
        NavigationCase{"UpperCaseHttpsStays", {"HTTPS://example.org/x"}, {Decision::allow, {}}},
        NavigationCase{"OtherSitesStay", {"http://elsewhere.test/"}, {Decision::allow, {}}},
        NavigationCase{"BlobStays", {"blob:http://127.0.0.1/1"}, {Decision::allow, {}}},
        NavigationCase{"MailtoGoesToTheSystem", {"mailto:a@b.c"}, {Decision::cancel, "mailto:a@b.c"}},
        NavigationCase{"OtherAppScheme", {"zoommtg://join"}, {Decision::cancel, "zoommtg://join"}},
        NavigationCase{"LocalFilesNeverOpen", {"File:///home/u/run.desktop"}, {Decision::cancel, {}}},
        NavigationCase{"DownloadAttributeWins", {"https://x.test/f.srt", true}, {Decision::download, {}}},
        NavigationCase{"NoURL", {std::nullopt}, {Decision::allow, {}}},
        NavigationCase{"NoScheme", {"/relative/path"}, {Decision::allow, {}}}),
    caseName<NavigationCase>);

struct ResponseCase {
    const char* name;
    DownloadResponse response;
    bool canShow;
    bool download;
};
void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }
class ResponsePolicyTest : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponsePolicyTest, Decides) {
    const auto& c = GetParam();
    EXPECT_EQ(DownloadPolicy::shouldDownload(c.response, c.canShow), c.download);
    EXPECT_EQ(Policy::decideResponse(c.response, c.canShow),
              c.download ? Decision::download : Decision::allow);
}

INSTANTIATE_TEST_SUITE_P(
    Shell, ResponsePolicyTest,
    ::testing::Values(
        ResponseCase{"Attachment", {"text/plain", true, "attachment; filename=x.srt"}, true, true},
        ResponseCase{"Inline", {"text/plain", true, "inline; filename=x.srt"}, true, false},
        ResponseCase{"AttachmentWithSpacesAndCase", {"text/plain", true, "  Attachment ;x"}, true, true},
        ResponseCase{"EmptyPiecesDropped", {"text/plain", true, ";;attachment"}, true, true},
        ResponseCase{"NotHTTPIgnoresHeader", {"text/plain", false, "attachment"}, true, false},
        ResponseCase{"Video", {"video/mp4", true, std::nullopt}, true, true},
        ResponseCase{"Audio", {"AUDIO/MPEG", true, std::nullopt}, true, true},
        ResponseCase{"Image", {"image/png", true, std::nullopt}, true, false},
        ResponseCase{"NoTypeNotShowable", {std::nullopt, true, std::nullopt}, false, true}),
    caseName<ResponseCase>);

TEST(Shell, NewWindowsFileInputsAndUserAgent) {
    EXPECT_EQ(Policy::newWindowTarget("https://x.test/"), "https://x.test/");
    EXPECT_EQ(Policy::newWindowTarget(std::nullopt), std::nullopt);
    EXPECT_EQ(Policy::newWindowTarget("file:///etc/passwd"), std::nullopt);
    EXPECT_EQ(Policy::fileChooserSetup({true, false}), (Policy::FileChooserSetup{true, false, true}));
    EXPECT_EQ(Policy::fileChooserSetup({false, true}), (Policy::FileChooserSetup{true, true, false}));
    EXPECT_EQ(Policy::userAgentApplicationName(BundleInfo(json::object())), "VelvetharborMac/0.0");
}

// ---- Overlays ----

struct OverlayCase {
    const char* name;
    ShellAuthState auth;
    LoginStatus status;
    std::optional<ShellNavigationError> error;
    std::optional<ShellOverlay> overlay;
};
void PrintTo(const OverlayCase& c, std::ostream* os) { *os << c.name; }
class OverlayTest : public ::testing::TestWithParam<OverlayCase> {};

TEST_P(OverlayTest, ShowsTheTopLayer) {
    const auto& c = GetParam();
    EXPECT_EQ(ShellOverlay::forState(c.auth, c.status, c.error), c.overlay);
}

using K = ShellOverlay::Kind;
using A = ShellOverlay::Action;
const ShellNavigationError kLoadError{"1", "Could not connect"};
const ShellOverlay kErrorOverlay{
    K::loadError, "Velvetharbor could not load", "Could not connect", "Retry", true, false, A::loadHome};

INSTANTIATE_TEST_SUITE_P(
    Shell, OverlayTest,
    ::testing::Values(
        OverlayCase{"UnknownShowsNothing", ShellAuthState::unknown(), LoginStatus::idle(), std::nullopt,
                    std::nullopt},
        OverlayCase{
            "SignedOutIdle", ShellAuthState::signedOut(), LoginStatus::idle(), std::nullopt,
            ShellOverlay{K::signIn, "Sign in to Velvetharbor", "Use your browser to connect this Mac app.",
                         "Sign in", true, false, A::startLogin}},
        OverlayCase{"SignInFailed", ShellAuthState::signedOut(), LoginStatus::failed("Expired"), std::nullopt,
                    ShellOverlay{K::signIn, "Sign in to Velvetharbor", "Expired", "Sign in", true, false,
                                 A::startLogin}},
        OverlayCase{"SignInWorking", ShellAuthState::signedOut(),
                    LoginStatus::working("Opening your browser…"), std::nullopt,
                    ShellOverlay{K::signIn, "Sign in to Velvetharbor", "Opening your browser…",
                                 "Waiting for Browser", false, true, A::startLogin}},
        OverlayCase{
            "SignInCoversLoadError", ShellAuthState::signedOut(), LoginStatus::idle(), kLoadError,
            ShellOverlay{K::signIn, "Sign in to Velvetharbor", "Use your browser to connect this Mac app.",
                         "Sign in", true, false, A::startLogin}},
        OverlayCase{"LoadErrorWhenSignedIn", ShellAuthState::signedIn("u", std::nullopt), LoginStatus::idle(),
                    kLoadError, kErrorOverlay},
        OverlayCase{"LoadErrorBeforeReport", ShellAuthState::unknown(), LoginStatus::idle(), kLoadError,
                    kErrorOverlay}),
    caseName<OverlayCase>);

// ---- Opened URIs, drops, quitting ----

TEST(Lifecycle, OpenedURIs) {
    const auto opened = AppLifecycle::sortOpenedURIs(
        {"file:///media/a.mp4", "https://example.org/x", "VELVETHARBOR-DESKTOP://x",
         "file://localhost/media/b%20c.mov", "velvetharbor-desktop://open", "velvetharbor-desktop:again",
         "file://otherhost/x.mp4", "file:///bad%zz"});
    EXPECT_EQ(opened.files, (std::vector<std::filesystem::path>{"/media/a.mp4", "/media/b c.mov"}));
    EXPECT_TRUE(opened.presentWindow);
    EXPECT_FALSE(AppLifecycle::sortOpenedURIs({"VELVETHARBOR-DESKTOP://x"}).presentWindow);

    EXPECT_EQ(StatusDropRule::acceptedFiles({"https://example.org/a.mp4", "file:///home/u/Videos"}),
              std::vector<std::filesystem::path>{"/home/u/Videos"});
    EXPECT_FALSE(StatusDropRule::acceptsDrag({"https://example.org/a.mp4"}));

    EXPECT_EQ(AppLifecycle::quitConfirmation(false), std::nullopt);
    const auto question = AppLifecycle::quitConfirmation(true);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->message, "Quit while uploads are active?");
    EXPECT_EQ(question->informativeText,
              "Active uploads will stop. Relaunch Velvetharbor to resume incomplete uploads.");
}

// ---- Status menu ----

std::vector<std::string> titles(const std::vector<StatusMenuItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items)
        out.push_back(item.kind == StatusMenuItem::Kind::separator
                          ? "---"
                          : item.title + (item.enabled ? "" : " (off)"));
    return out;
}

std::shared_ptr<UploadTaskModel> upload(const std::string& name, double progress, UploadTaskStatus status) {
    auto model = std::make_shared<UploadTaskModel>("mac-1", name, 1);
    model->setProgress(progress);
    model->setStatus(std::move(status));
    return model;
}

TEST(StatusMenu, ListsActiveUploadsRecentTasksAndCommands) {
    EXPECT_EQ(titles(StatusMenu::build({}, {}, false)),
              (std::vector<std::string>{"No Active Uploads (off)", "---", "Open Velvetharbor",
                                        "Check for Updates… (off)", "---", "Quit Velvetharbor"}));

    const std::vector uploads{upload("talk.mp4", 0.4567, UploadTaskStatus::uploading()),
                              upload("done.mp4", 1, UploadTaskStatus::completed("t")),
                              upload("bad.mp4", 0.2, UploadTaskStatus::failed("x")),
                              upload("wait.mp4", 0, UploadTaskStatus::paused()),
                              upload("new.mp4", 0, UploadTaskStatus::queued())};
    const auto menu = StatusMenu::build(uploads, {"a", "b", "c", "d", "e", "f", "g"}, true);
    EXPECT_EQ(titles(menu), (std::vector<std::string>{
                                "talk.mp4 — 45% (off)", "new.mp4 — 0% (off)", "---", "Open Task a",
                                "Open Task b", "Open Task c", "Open Task d", "Open Task e", "---",
                                "Open Velvetharbor", "Check for Updates…", "---", "Quit Velvetharbor"}));
    EXPECT_EQ(menu[3].action, StatusMenuItem::Action::openTask);
    EXPECT_EQ(menu[3].payload, "a");
    EXPECT_EQ(menu.back().action, StatusMenuItem::Action::quit);
    EXPECT_EQ(menu.back().keyEquivalent, "q");
    EXPECT_EQ(titles(StatusMenu::build({uploads[1], uploads[2]}, {}, false)).front(),
              "No Active Uploads (off)");
}

// ---- Confirmation ----

TEST(UploadConfirm, EditsTheCopyAndKeepsUnknownLanguages) {
    UploadDraft draft{"d1", "/m/talk.mp4",          "talk.mp4", 58'200'000, "video/mp4",
                      1.0,  UploadIntent::subtitle, "xx",       "en"};
    UploadConfirmModel sheet(draft);
    EXPECT_EQ(sheet.fileSizeText(), "58.2 MB");
    EXPECT_EQ(sheet.selectedSource(), std::nullopt);  // not listed: no entry marked
    EXPECT_EQ(sheet.selectedIntent(), 0u);
    sheet.selectIntent(1);
    sheet.selectTarget(sheet.targetChoices().size() - 1);
    sheet.selectSource(999);  // out of range: ignored
    EXPECT_EQ(sheet.start().intent, UploadIntent::translate);
    EXPECT_EQ(sheet.start().sourceLanguage, "xx");
    EXPECT_EQ(sheet.start().targetLanguage, LanguageOption::targetOptions().back().id);
    EXPECT_EQ(sheet.start().id, "d1");
}

TEST(UploadConfirm, FileSizesInDecimalUnits) {
    const std::vector<std::pair<std::int64_t, std::string>> cases{
        {0, "0 bytes"},           {1, "1 byte"},       {999, "999 bytes"},      {1'000, "1.0 kB"},
        {1'550, "1.6 kB"},        {999'950, "1.0 MB"}, {58'200'000, "58.2 MB"}, {1'234'567'890, "1.2 GB"},
        {5'000'000'000, "5.0 GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(UploadConfirmModel::formatFileSize(bytes), text) << bytes;
}

// ---- Updates ----

struct UpdaterCase {
    const char* name;
    json info;
    bool available;
};
void PrintTo(const UpdaterCase& c, std::ostream* os) { *os << c.name; }
class UpdaterTest : public ::testing::TestWithParam<UpdaterCase> {};

TEST_P(UpdaterTest, NeedsFeedAndRealKey) {
    const auto settings = updaterSettings(BundleInfo(GetParam().info));
    EXPECT_EQ(settings.has_value(), GetParam().available);
    if (settings) {
        EXPECT_EQ(*settings, (UpdaterSettings{"https://u.test/feed.xml", "abc="}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Updates, UpdaterTest,
    ::testing::Values(
        UpdaterCase{
            "Configured", {{"SUFeedURL", "https://u.test/feed.xml"}, {"SUPublicEDKey", " \nabc=\t"}}, true},
        UpdaterCase{"BlankFeed", {{"SUFeedURL", "   "}, {"SUPublicEDKey", "abc="}}, false},
        UpdaterCase{"NoFeed", {{"SUPublicEDKey", "abc="}}, false},
        UpdaterCase{"KeyIsANumber", {{"SUFeedURL", "https://u.test/feed.xml"}, {"SUPublicEDKey", 12}}, false},
        UpdaterCase{"Placeholder",
                    {{"SUFeedURL", "https://u.test/feed.xml"},
                     {"SUPublicEDKey", " SPARKLE_ED_PUBLIC_KEY_PLACEHOLDER\n"}},
                    false}),
    caseName<UpdaterCase>);

// ---- Log lines ----

TEST(Log, NeverCarriesQueriesOrTokens) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"PUT https://s.test/storage/k?X-Vhbr-Signature=abc&e=1 failed",
         "PUT https://s.test/storage/k?… failed"},
        {"see http://h.test/a#frag.", "see http://h.test/a?…"},
        {"\"https://x.test/p?q=1\"", "\"https://x.test/p?…\""},
        {"Authorization: Bearer vhbr_123 sent", "Authorization: Bearer … sent"},
        {"two\nlines", "two lines"},
        {"why? http://a.test/b?q=1 then? https://c.test/?x",
         "why? http://a.test/b?… then? https://c.test/?…"}};
    for (const auto& [text, scrubbed] : cases) EXPECT_EQ(scrubForLog(text), scrubbed);
}

}  // namespace
}  // namespace vhbr::test
