// The display-free rules of the window: overlays, opened URIs and drops, the
// quit question, the status menu, the confirmation sheet and update availability.

#include <gtest/gtest.h>

#include "AppLifecycle.hpp"
#include "ShellOverlay.hpp"
#include "SoftwareUpdater.hpp"
#include "StatusDropRule.hpp"
#include "StatusMenu.hpp"
#include "UploadConfirmModel.hpp"

namespace vhbr::test {
namespace {

using nlohmann::json;

// ---- Overlays ----

const std::string kConnect = "Use your browser to connect this app.";
ShellOverlay signIn(const std::string& message, bool waiting = false,
                    std::optional<std::string> link = std::nullopt) {
    return {ShellOverlay::Kind::signIn,
            "Sign in to Velvetharbor",
            message,
            waiting ? "Waiting for Browser" : "Sign in",
            !waiting,
            waiting,
            ShellOverlay::Action::startLogin,
            std::move(link),
            waiting};
}
const std::string kNoBrowser = "Could not open a web browser. Open this link to sign in:";
const std::string kLink = "http://127.0.0.1:9/desktop-login?nonce=n";
const ShellNavigationError kLoadError{"1", "Could not connect"};
const ShellOverlay kErrorOverlay{ShellOverlay::Kind::loadError,
                                 "Velvetharbor could not load",
                                 "Could not connect",
                                 "Retry",
                                 true,
                                 false,
                                 ShellOverlay::Action::loadHome,
                                 std::nullopt,
                                 false};
const auto kIdle = LoginStatus::idle();

TEST(Shell, OverlayShowsTheTopLayer) {
    const auto out = ShellAuthState::signedOut();
    const std::tuple<ShellAuthState, LoginStatus, std::optional<ShellNavigationError>,
                     std::optional<ShellOverlay>>
        cases[] = {
            {ShellAuthState::unknown(), kIdle, std::nullopt, std::nullopt},
            {out, kIdle, std::nullopt, signIn(kConnect)},
            {out, LoginStatus::failed("Expired"), std::nullopt, signIn("Expired")},
            {out, LoginStatus::working("Opening your browser…"), std::nullopt,
             signIn("Opening your browser…", true)},
            {out, LoginStatus::working(kNoBrowser, kLink), std::nullopt, signIn(kNoBrowser, true, kLink)},
            {out, kIdle, kLoadError, signIn(kConnect)},  // sign-in covers a load error
            {ShellAuthState::signedIn("u", std::nullopt), kIdle, kLoadError, kErrorOverlay},
            {ShellAuthState::unknown(), kIdle, kLoadError, kErrorOverlay}};  // before the web app's report
    for (const auto& [auth, status, error, overlay] : cases)
        EXPECT_EQ(ShellOverlay::forState(auth, status, error), overlay)
            << static_cast<int>(auth.kind) << " " << status.message << " " << error.has_value();
}

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

    EXPECT_EQ(AppLifecycle::quitConfirmation(0), std::nullopt);
    const auto question = AppLifecycle::quitConfirmation(1);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->message, "Quit while uploads are active?");
    EXPECT_EQ(question->informativeText, "1 upload will stop. Relaunch Velvetharbor to resume incomplete uploads.");
    EXPECT_EQ(AppLifecycle::quitConfirmation(3)->informativeText,
              "3 uploads will stop. Relaunch Velvetharbor to resume incomplete uploads.");
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
    EXPECT_EQ(titles(StatusMenu::build({uploads[1], uploads[2]}, {}, false)).front(),
              "No Active Uploads (off)");
}

// ---- Confirmation ----

TEST(UploadConfirm, EditsTheCopyAndKeepsUnknownLanguages) {
    UploadDraft draft{"d1", {"/m/talk.mp4", "talk.mp4", 58'200'000, "video/mp4", 1.0}, UploadIntent::subtitle,
                      "xx", "en"};
    UploadConfirmModel sheet(draft);
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

// ---- Updates ----

// Updates are on only with a feed and a real key (not the placeholder a build without one carries).
TEST(Updates, NeedAFeedAndARealKey) {
    const std::string feed = "https://u.test/feed.xml";
    EXPECT_EQ(updaterSettings(BundleInfo(json{{"SUFeedURL", feed}, {"SUPublicEDKey", " \nabc=\t"}})),
              (UpdaterSettings{feed, "abc="}));
    const json off[] = {{{"SUFeedURL", "   "}, {"SUPublicEDKey", "abc="}},
                        {{"SUPublicEDKey", "abc="}},
                        {{"SUFeedURL", feed}, {"SUPublicEDKey", 12}},
                        {{"SUFeedURL", feed}, {"SUPublicEDKey", " SPARKLE_ED_PUBLIC_KEY_PLACEHOLDER\n"}}};
    for (const auto& info : off) EXPECT_EQ(updaterSettings(BundleInfo(info)), std::nullopt) << info.dump();
}

}  // namespace
}  // namespace vhbr::test
