// The update dialog's content for the checker's states, and release notes reduced to safe text.

#include <gtest/gtest.h>

#include "UpdatePrompt.hpp"

namespace vhbr::test {
namespace {

using Phase = UpdateChecker::Phase;
using Action = UpdatePrompt::Action;

template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

struct NotesCase {
    const char* name;
    const char* notes;
    const char* text;
};
void PrintTo(const NotesCase& c, std::ostream* os) { *os << c.name; }
class ReleaseNotesTest : public ::testing::TestWithParam<NotesCase> {};

TEST_P(ReleaseNotesTest, BecomesPlainText) { EXPECT_EQ(releaseNotesText(GetParam().notes), GetParam().text); }

const NotesCase kNotes[] = {
    {"PlainTextKeepsItsLines", "  First line\nSecond line\n", "First line\nSecond line"},
    {"ParagraphsAndList", "<h2>New</h2><p>Faster\n   uploads.</p><ul><li>One</li><li>Two</li></ul>",
     "New\n\nFaster uploads.\n\n• One\n• Two"},
    {"ScriptsStylesAndCommentsAreDropped",
     "<style>p{color:red}</style><SCRIPT>alert('x')</SCRIPT><!-- <p>hidden</p> -->Shown", "Shown"},
    {"EntitiesAreTextNotTags", "&lt;b&gt;Fish &amp; chips&#33; &#x2713; &bogus; a&b",
     "<b>Fish & chips! \u2713 &bogus; a&b"},
    {"LineBreakAndLinkText", "One<br>Two <a href=\"javascript:x()\">link</a>", "One\nTwo link"},
    {"UnfinishedTagEnds", "Text <p class=\"", "Text"},
    {"UnclosedScriptHidesTheRest", "Before<script>var a = 1;", "Before"}};
INSTANTIATE_TEST_SUITE_P(Update, ReleaseNotesTest, ::testing::ValuesIn(kNotes), caseName<NotesCase>);

UpdateChecker::State stateIn(Phase phase) {
    UpdateChecker::State s;
    s.phase = phase;
    if (phase != Phase::idle && phase != Phase::checking && phase != Phase::upToDate) {
        AppcastItem item;
        item.version = item.shortVersionString = "2.0";
        item.releaseNotes = "<p>New &amp; improved</p>";
        s.item = item;
    }
    return s;
}

UpdateChecker::State installable() {
    auto s = stateIn(Phase::available);
    s.canInstall = true;
    return s;
}

const char* const kAvailable = "A new version of Velvetharbor is available!";

UpdateChecker::State upToDate() {
    auto s = stateIn(Phase::upToDate);
    s.upToDateVersion = "1.0";
    return s;
}

TEST(UpdatePrompt, ShowsEachStateWithItsButtons) {
    // The state, the title, the buttons' actions, the action of closing the dialog.
    const std::tuple<UpdateChecker::State, const char*, std::vector<Action>, std::optional<Action>> cases[] =
        {{stateIn(Phase::checking), "Checking for updates…", {Action::cancel}, Action::cancel},
         {upToDate(), "You're up to date.", {Action::later}, Action::later},
         {installable(), kAvailable, {Action::install, Action::later, Action::skip}, Action::later},
         {stateIn(Phase::available), kAvailable, {Action::later, Action::skip}, Action::later},
         {stateIn(Phase::downloading), "Downloading Velvetharbor 2.0…", {Action::cancel}, Action::cancel},
         {stateIn(Phase::installing), "Installing the update…", {}, std::nullopt},
         {stateIn(Phase::installed),
          "Velvetharbor 2.0 is installed.",
          {Action::relaunch, Action::later},
          Action::later},
         {stateIn(Phase::readyToOpen),
          "Velvetharbor 2.0 is ready to install.",
          {Action::later, Action::openPackage},
          Action::later},
         {stateIn(Phase::failed),
          "Velvetharbor 2.0 could not be installed.",
          {Action::later},
          Action::later}};
    for (const auto& [state, title, buttons, closeAction] : cases) {
        const auto prompt = UpdatePrompt::forState(state, "1.0");
        ASSERT_TRUE(prompt) << title;
        EXPECT_EQ(prompt->title, title);
        std::vector<Action> actions;
        for (const auto& b : prompt->buttons) actions.push_back(b.action);
        EXPECT_EQ(actions, buttons) << title;
        EXPECT_EQ(prompt->closeAction, closeAction) << title;
    }
}

TEST(UpdatePrompt, IdleShowsNothingAndTheOfferCarriesVersionsNotesAndProgress) {
    EXPECT_FALSE(UpdatePrompt::forState(stateIn(Phase::idle), "1.0"));

    const auto offer = UpdatePrompt::forState(installable(), "1.0");
    EXPECT_EQ(offer->message,
              "Velvetharbor 2.0 is now available — you have 1.0. Would you like to install it now?");
    EXPECT_EQ(offer->notes, "New & improved");

    auto downloading = stateIn(Phase::downloading);
    downloading.received = 1'500'000;
    downloading.expected = 5'000'000;
    const auto progress = UpdatePrompt::forState(downloading, "1.0");
    EXPECT_DOUBLE_EQ(*progress->progress, 0.3);
    EXPECT_EQ(progress->progressText, "1.5 MB of 5.0 MB");
    // A server sending more than it published never shows more than a full bar.
    downloading.received = 6'000'000;
    EXPECT_DOUBLE_EQ(*UpdatePrompt::forState(downloading, "1.0")->progress, 1.0);
}

}  // namespace
}  // namespace vhbr::test
