#include "quillbeam/policy/policy.hpp"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace quillbeam {
namespace {

constexpr int64_t nowMs = 1'700'000'000'000;
const Date now = Date::fromMs(nowMs);

enum class Session {
  active,
  none,
  endedNow,
  endsIn1ms,
  withoutEnd,
  onBreak,
  breakEndsNow,
  sideQuest
};

const char* const chrome = "com.google.Chrome";
const char* const safari = "com.apple.Safari";
const char* const discord = "com.hnc.Discord";

const Verdict allow = Verdict::allow();
const Verdict distracting = Verdict::shield(ShieldReason::distractingApp);
const Verdict otherBrowser = Verdict::shield(ShieldReason::otherBrowser);
const Verdict extensionOff = Verdict::shield(ShieldReason::extensionOff);

// Changes to the baseline context: an active strict session, default settings, a healthy
// extension, no allowances.
struct Changes {
  Session session = Session::active;
  Strictness strictness = Strictness::strict;
  bool healthy = true;
  bool blockOtherBrowsers = true;
  bool guardExtension = true;
  const char* studyBrowser = chrome;
  const char* alsoBlocked = nullptr;
  const char* allowanceFor = nullptr;
  double allowanceEndsIn = 0;  // seconds after now
};

struct Row {
  const char* what;
  const char* app;
  Verdict expected;
  Changes with = {};
};

PolicyContext contextFor(const Changes& row) {
  SessionSnapshot s;
  s.id = "s1";
  s.strictness = row.strictness;
  s.startedAt = nowMs - 600'000;
  s.endsAt = nowMs + 1'800'000;
  switch (row.session) {
    case Session::endedNow:
      s.endsAt = nowMs;
      break;
    case Session::endsIn1ms:
      s.endsAt = nowMs + 1;
      break;
    case Session::withoutEnd:
      s.endsAt.reset();
      break;
    case Session::onBreak:
      s.breakUntil = nowMs + 1;
      break;
    case Session::breakEndsNow:
      s.breakUntil = nowMs;
      break;
    case Session::sideQuest:
      s.sideQuestUntil = nowMs + 60'000;
      s.sideQuestDoubt = "Is this needed?";
      break;
    case Session::active:
    case Session::none:
      break;
  }
  CompanionSettings settings = CompanionSettings::defaults();
  settings.studyBrowser = row.studyBrowser;
  settings.blockOtherBrowsers = row.blockOtherBrowsers;
  settings.guardExtension = row.guardExtension;
  if (row.alsoBlocked) settings.blockedApps.push_back({"Added", row.alsoBlocked});
  PolicyContext::Allowances allowances;
  if (row.allowanceFor) allowances.emplace(row.allowanceFor, now + row.allowanceEndsIn);
  return PolicyContext(row.session == Session::none ? std::nullopt : std::optional(s), now,
                       settings, row.healthy, allowances);
}

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.what;
}

class PolicyTable : public ::testing::TestWithParam<Row> {};

TEST_P(PolicyTable, Decides) {
  const PolicyContext context = contextFor(GetParam().with);
  EXPECT_EQ(Policy::evaluate(AppIdentity{GetParam().app, "Some App"}, context),
            GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Policy, PolicyTable, ::testing::Values(
    // The blocked list; catalog apps not blocked by default and unknown apps pass.
    Row{"blocked_app", discord, distracting},
    Row{"not_blocked_by_default", "com.apple.MobileSMS", allow},
    Row{"unknown_app", "org.example.Editor", allow},
    Row{"blocking_is_case_sensitive", "com.hnc.discord", allow},
    Row{"user_blocked_app", "org.example.Game", distracting, {.alsoBlocked = "org.example.Game"}},
    // Other browsers, never shielded as distracting.
    Row{"other_browser", safari, otherBrowser},
    Row{"other_browser_allowed", safari, allow, {.blockOtherBrowsers = false}},
    Row{"blocked_browser_not_distracting", safari, allow, {.blockOtherBrowsers = false,
        .alsoBlocked = safari}},
    Row{"blocked_browser_is_other_browser", safari, otherBrowser, {.alsoBlocked = safari}},
    // The study browser family, never an other browser.
    Row{"study_family", "com.google.Chrome.beta", allow},
    Row{"study_family_unhealthy", "com.google.Chrome.beta", extensionOff, {.healthy = false}},
    Row{"study_unhealthy_gentle", chrome, allow, {.strictness = Strictness::gentle,
        .healthy = false}},
    Row{"study_unhealthy_lockdown", chrome, extensionOff, {.strictness = Strictness::lockdown,
        .healthy = false}},
    Row{"study_unhealthy_unguarded", chrome, allow, {.strictness = Strictness::lockdown,
        .healthy = false, .guardExtension = false}},
    Row{"study_blocked_by_user", chrome, allow, {.alsoBlocked = chrome}},
    Row{"study_match_is_case_sensitive", "com.google.chrome", allow, {.healthy = false}},
    Row{"safari_family_studies", "com.apple.SafariTechnologyPreview", extensionOff,
        {.healthy = false, .studyBrowser = safari}},
    Row{"chrome_when_safari_studies", chrome, otherBrowser, {.studyBrowser = safari}},
    Row{"uncatalogued_study_browser", "org.example.Browser", extensionOff, {.healthy = false,
        .studyBrowser = "org.example.Browser"}},
    Row{"every_catalog_browser_other", "com.google.Chrome.dev", otherBrowser,
        {.studyBrowser = "org.example.Browser"}},
    // Health and strictness matter only for the study browser.
    Row{"unhealthy_blocked_app", discord, distracting, {.healthy = false}},
    Row{"unhealthy_other_browser", safari, otherBrowser, {.healthy = false}},
    Row{"gentle_blocked_app", discord, distracting, {.strictness = Strictness::gentle}},
    Row{"gentle_other_browser", safari, otherBrowser, {.strictness = Strictness::gentle}},
    // Exempt apps, even when blocked.
    Row{"companion_app_exempt", "com.quillbeam.mac", allow, {.alsoBlocked = "com.quillbeam.mac"}},
    Row{"finder_exempt", "com.apple.finder", allow, {.alsoBlocked = "com.apple.finder"}},
    // Allowances run strictly until their end and beat every shield.
    Row{"running_allowance", discord, allow, {.allowanceFor = discord, .allowanceEndsIn = 1}},
    Row{"allowance_ending_now", discord, distracting, {.allowanceFor = discord}},
    Row{"allowance_ended", discord, distracting, {.allowanceFor = discord,
        .allowanceEndsIn = -60}},
    Row{"allowance_for_another_app", discord, distracting,
        {.allowanceFor = "com.valvesoftware.steam", .allowanceEndsIn = 60}},
    Row{"allowance_lifts_extension_off", chrome, allow, {.healthy = false,
        .allowanceFor = chrome, .allowanceEndsIn = 60}},
    Row{"allowance_lifts_other_browser", safari, allow, {.allowanceFor = safari,
        .allowanceEndsIn = 60}},
    // No running session, or a break, lets everything through.
    Row{"no_session", discord, allow, {.session = Session::none}},
    Row{"no_session_unhealthy_study", chrome, allow, {.session = Session::none,
        .healthy = false}},
    Row{"session_ended_now", discord, allow, {.session = Session::endedNow}},
    Row{"session_ended_unhealthy_study", chrome, allow, {.session = Session::endedNow,
        .healthy = false}},
    Row{"session_ends_in_1ms", discord, distracting, {.session = Session::endsIn1ms}},
    Row{"session_without_end", discord, distracting, {.session = Session::withoutEnd}},
    Row{"break_blocked_app", discord, allow, {.session = Session::onBreak}},
    Row{"break_other_browser", safari, allow, {.session = Session::onBreak}},
    Row{"break_unhealthy_study", chrome, allow, {.session = Session::onBreak, .healthy = false}},
    Row{"break_ending_now", discord, distracting, {.session = Session::breakEndsNow}},
    Row{"side_quest_running", discord, distracting, {.session = Session::sideQuest}}),
    [](const auto& info) { return std::string(info.param.what); });
// clang-format on

TEST(Verdict, EqualityAndText) {
  EXPECT_NE(allow, otherBrowser);
  EXPECT_NE(otherBrowser, extensionOff);
  EXPECT_EQ(extensionOff.reason(), ShieldReason::extensionOff);
  std::ostringstream text;
  text << distracting << ' ' << allow;
  EXPECT_EQ(text.str(), "shield(distractingApp) allow");
}

}  // namespace
}  // namespace quillbeam
