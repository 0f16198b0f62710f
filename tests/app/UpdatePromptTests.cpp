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

INSTANTIATE_TEST_SUITE_P(
    Update, ReleaseNotesTest,
    ::testing::Values(
        NotesCase{"PlainTextKeepsItsLines", "  First line\nSecond line\n", "First line\nSecond line"},
        NotesCase{"ParagraphsAndList",
                  "<h2>New</h2><p>Faster\n   uploads.</p><ul><li>One</li><li>Two</li></ul>",
                  "New\n\nFaster uploads.\n\n• One\n• Two"},
        NotesCase{"ScriptsStylesAndCommentsAreDropped",
                  "<style>p{color:red}</style><SCRIPT>alert('x')</SCRIPT><!-- <p>hidden</p> -->Shown",
                  "Shown"},
        NotesCase{"EntitiesAreTextNotTags", "&lt;b&gt;Fish &amp; chips&#33; &#x2713; &bogus; a&b",
                  "<b>Fish & chips! \u2713 &bogus; a&b"},
        NotesCase{"LineBreakAndLinkText", "One<br>Two <a href=\"javascript:x()\">link</a>", "One\nTwo link"},
        NotesCase{"UnfinishedTagEnds", "Text <p class=\"", "Text"},
        NotesCase{"UnclosedScriptHidesTheRest", "Before<script>var a = 1;", "Before"}),
    caseName<NotesCase>);

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

struct PhaseCase {
    const char* name;
    UpdateChecker::State state;
    const char* title;
    std::vector<Action> buttons;
    std::optional<Action> closeAction;
};
void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }
class UpdatePromptTest : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(UpdatePromptTest, ShowsTheStateWithItsButtons) {
    const auto prompt = UpdatePrompt::forState(GetParam().state, "1.0");
    ASSERT_TRUE(prompt);
    EXPECT_EQ(prompt->title, GetParam().title);
    std::vector<Action> actions;
    for (const auto& b : prompt->buttons) actions.push_back(b.action);
    EXPECT_EQ(actions, GetParam().buttons);
    EXPECT_EQ(prompt->closeAction, GetParam().closeAction);
}

UpdateChecker::State installable() {
    auto s = stateIn(Phase::available);
    s.canInstall = true;
    return s;
}

UpdateChecker::State upToDate() {
    auto s = stateIn(Phase::upToDate);
    s.upToDateVersion = "1.0";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Update, UpdatePromptTest,
    ::testing::Values(
        PhaseCase{
            "Checking", stateIn(Phase::checking), "Checking for updates…", {Action::cancel}, Action::cancel},
        PhaseCase{"UpToDate", upToDate(), "You're up to date.", {Action::later}, Action::later},
        PhaseCase{"Available",
                  installable(),
                  "A new version of Velvetharbor is available!",
                  {Action::install, Action::later, Action::skip},
                  Action::later},
        PhaseCase{"AvailableToACopyThatCannotInstall",
                  stateIn(Phase::available),
                  "A new version of Velvetharbor is available!",
                  {Action::later, Action::skip},
                  Action::later},
        PhaseCase{"Downloading",
                  stateIn(Phase::downloading),
                  "Downloading Velvetharbor 2.0…",
                  {Action::cancel},
                  Action::cancel},
        PhaseCase{"InstallingCannotBeInterrupted",
                  stateIn(Phase::installing),
                  "Installing the update…",
                  {},
                  std::nullopt},
        PhaseCase{"Installed",
                  stateIn(Phase::installed),
                  "Velvetharbor 2.0 is installed.",
                  {Action::relaunch, Action::later},
                  Action::later},
        PhaseCase{"ReadyToOpen",
                  stateIn(Phase::readyToOpen),
                  "Velvetharbor 2.0 is ready to install.",
                  {Action::later, Action::openPackage},
                  Action::later},
        PhaseCase{"FailedInstall",
                  stateIn(Phase::failed),
                  "Velvetharbor 2.0 could not be installed.",
                  {Action::later},
                  Action::later}),
    caseName<PhaseCase>);

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
