// What the web view does with what the page asks for: a navigation stays in the view, goes to
// the system or becomes a download; a response is shown or saved; a new window opens in the
// browser or nowhere. The view carries these answers out as they are.

#include <gtest/gtest.h>

#include "ShellWebPolicy.hpp"

namespace vhbr::test {
namespace {

namespace Policy = ShellWebPolicy;
using Decision = Policy::Decision;

struct NavigationCase {
    const char* name;
    Policy::NavigationAction action;
    Decision decision;
    const char* handedToSystem;  // the URL the system is given, if any
};
void PrintTo(const NavigationCase& c, std::ostream* os) { *os << c.name; }

class NavigationPolicyTest : public ::testing::TestWithParam<NavigationCase> {};

TEST_P(NavigationPolicyTest, StaysInTheViewGoesToTheSystemOrDownloads) {
    const auto& c = GetParam();
    const auto handedToSystem =
        c.handedToSystem ? std::optional<std::string>(c.handedToSystem) : std::nullopt;
    EXPECT_EQ(Policy::decideNavigation(c.action), (Policy::NavigationVerdict{c.decision, handedToSystem}));
}

const NavigationCase kNavigations[] = {
    {"WebAppPage", {"http://127.0.0.1:8123/app/task/1"}, Decision::allow, nullptr},
    {"OtherSiteStaysInTheView", {"https://elsewhere.test/help"}, Decision::allow, nullptr},
    {"SchemeInAnyCase", {"HTTPS://example.org/x"}, Decision::allow, nullptr},
    {"Blob", {"blob:http://127.0.0.1/1"}, Decision::allow, nullptr},
    {"DataPage", {"data:text/html,<p>x"}, Decision::allow, nullptr},
    {"AboutBlank", {"about:blank"}, Decision::allow, nullptr},
    {"MailGoesToTheSystem", {"mailto:a@b.c"}, Decision::cancel, "mailto:a@b.c"},
    {"OtherProgramsLink", {"zoommtg://join"}, Decision::cancel, "zoommtg://join"},
    {"LocalFileNeverOpens", {"File:///home/u/run.desktop"}, Decision::cancel, nullptr},
    {"DownloadAttributeWins", {"https://x.test/f.srt", true}, Decision::download, nullptr},
    {"NoURL", {std::nullopt}, Decision::allow, nullptr},
    {"NoScheme", {"/relative/path"}, Decision::allow, nullptr}};
INSTANTIATE_TEST_SUITE_P(Shell, NavigationPolicyTest, ::testing::ValuesIn(kNavigations),
                         [](const auto& info) { return std::string(info.param.name); });

struct ResponseCase {
    const char* name;
    DownloadResponse response;
    bool canShow;
    Decision decision;  // download or allow (show)
};
void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class ResponsePolicyTest : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponsePolicyTest, IsShownOrSaved) {
    const auto& c = GetParam();
    EXPECT_EQ(Policy::decideResponse(c.response, c.canShow), c.decision);
}

const ResponseCase kResponses[] = {
    {"Attachment", {"text/plain", true, "attachment; filename=x.srt"}, true, Decision::download},
    {"AttachmentInAnyCaseAndSpacing", {"text/plain", true, "  Attachment ;x"}, true, Decision::download},
    {"AttachmentAfterEmptyPieces", {"text/plain", true, ";;attachment"}, true, Decision::download},
    {"Inline", {"text/plain", true, "inline; filename=x.srt"}, true, Decision::allow},
    {"AttachmentWithoutHTTPMeansNothing", {"text/plain", false, "attachment"}, true, Decision::allow},
    {"WebPage", {"text/html", true, std::nullopt}, true, Decision::allow},
    {"Image", {"image/png", true, std::nullopt}, true, Decision::allow},
    {"VideoIsKeptEvenWhenShowable", {"video/mp4", true, std::nullopt}, true, Decision::download},
    {"AudioInAnyCase", {"AUDIO/MPEG", true, std::nullopt}, true, Decision::download},
    {"NotShowable", {"application/zip", true, "inline"}, false, Decision::download},
    {"NoTypeNotShowable", {std::nullopt, true, std::nullopt}, false, Decision::download}};
INSTANTIATE_TEST_SUITE_P(Shell, ResponsePolicyTest, ::testing::ValuesIn(kResponses),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Shell, NewWindowsOpenInTheBrowserButNeverALocalFile) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"https://x.test/", "https://x.test/"},
        {"mailto:a@b.c", "mailto:a@b.c"},
        {"", std::nullopt},
        {std::nullopt, std::nullopt},
        {"file:///etc/passwd", std::nullopt},
        {"FILE:///etc/passwd", std::nullopt}};
    for (const auto& [url, target] : cases)
        EXPECT_EQ(Policy::newWindowTarget(url), target) << url.value_or("no URL");
}

TEST(Shell, FileInputsAlwaysChooseFiles) {
    EXPECT_EQ(Policy::fileChooserSetup({true, false}), (Policy::FileChooserSetup{true, false, true}));
    EXPECT_EQ(Policy::fileChooserSetup({false, true}), (Policy::FileChooserSetup{true, true, false}));
}

}  // namespace
}  // namespace vhbr::test
