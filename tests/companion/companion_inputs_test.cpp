// The companion's inputs: the decision and when to decide again, the settings and override
// files, the names users type, and the bus form of the app list.
#include <gmock/gmock.h>

#include <fstream>

#include "companion/app_listing.hpp"
#include "companion/app_names.hpp"
#include "companion/decision.hpp"
#include "companion/settings_file.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::companion {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const Date now = Date::fromMs(1'800'000'000'000);

SessionSnapshot session(std::optional<int64_t> endsAt, std::optional<int64_t> breakUntil = {}) {
  SessionSnapshot s;
  s.id = "s1";
  s.goal = "Deep work";
  s.strictness = Strictness::strict;
  s.endsAt = endsAt;
  s.breakUntil = breakUntil;
  return s;
}

DecisionInputs inputs(std::optional<SessionSnapshot> s, bool connected, int64_t seenAgoMs) {
  return DecisionInputs{BrowserLink(connected, now.ms() - seenAgoMs, {}, std::move(s)),
                        CompanionSettings::defaults(), Overrides{}, now,
                        [](int32_t) { return false; }};
}

TEST(Decision, WakesAtTheFirstInstantAVerdictCanFlip) {
  const int64_t t = now.ms();
  struct Row {
    const char* what;
    DecisionInputs in;
    std::optional<int64_t> next;
  };
  std::vector<Row> rows{
      {"no session: nothing to wake for", inputs(std::nullopt, true, 0), std::nullopt},
      {"the session's end", inputs(session(t + 3'600'000), true, 200'000), t + 3'600'000},
      {"a break's end first", inputs(session(t + 3'600'000, t + 60'000), true, 200'000),
       t + 60'000},
      {"the reconnect grace", inputs(session(t + 3'600'000), false, 5'000), t + 15'000},
      {"the heartbeat grace", inputs(session(std::nullopt), true, 100'000), t + 20'000},
  };
  rows.push_back({"an allowance", inputs(session(t + 3'600'000), true, 200'000), t + 90'000});
  rows.back().in.overrides.allowances["com.hnc.Discord"] = Date::fromMs(t + 90'000);
  rows.back().in.overrides.allowances["com.hnc.DiscordPTB"] = Date::fromMs(t - 1);  // ended
  for (const auto& row : rows) {
    const auto next = decide({}, row.in).nextChange;
    EXPECT_EQ(next ? std::optional(next->ms()) : std::nullopt, row.next) << row.what;
  }
}

TEST(Decision, TheStudyBrowserCountsAsRunningOnlyWhenOneOfItsFamilyRuns) {
  // A link last seen a minute ago, disconnected: unhealthy while the study browser runs.
  const auto in = inputs(session(now.ms() + 3'600'000), false, 60'000);
  const RunningApp chromeBeta{"com.google.Chrome.beta", "Google Chrome", "google-chrome-beta",
                              ShieldTarget::cgroup("/a.scope")};
  const RunningApp discord{"com.hnc.Discord", "Discord", "discord",
                           ShieldTarget::cgroup("/b.scope")};
  const Decision withBrowser = decide({chromeBeta, discord}, in);
  EXPECT_FALSE(withBrowser.extensionHealthy);
  EXPECT_EQ(withBrowser.apps[0].verdict, Verdict::shield(ShieldReason::extensionOff));
  EXPECT_TRUE(decide({discord}, in).extensionHealthy);
  // A dismissed session shields nothing.
  auto dismissed = in;
  dismissed.overrides.dismissedSession = "s1";
  for (const auto& judged : decide({chromeBeta, discord}, dismissed).apps) {
    EXPECT_EQ(judged.verdict, Verdict::allow()) << judged.app.name;
  }
}

TEST(SettingsFile, ABrokenFileKeepsTheLastGoodSettingsAndSaysWhichFileAndWhy) {
  testing::ScratchDir dir;
  const auto file = dir.path() / "quillbeam/settings.json";
  SettingsSource source(file);
  EXPECT_FALSE(source.reload());  // absent: the defaults, no problem
  EXPECT_FALSE(source.problem());
  CompanionSettings mine = CompanionSettings::defaults();
  mine.studyBrowser = "org.chromium.Chromium";
  writeSettings(file, mine);
  EXPECT_TRUE(source.reload());
  EXPECT_EQ(source.settings(), mine);
  for (const char* broken : {"{not json", R"({"studyBrowser":7})", "[]"}) {
    std::ofstream(file) << broken;
    EXPECT_FALSE(source.reload()) << broken;
    EXPECT_EQ(source.settings(), mine) << broken;
    ASSERT_TRUE(source.problem());
    EXPECT_THAT(*source.problem(), HasSubstr(file.string()));
    EXPECT_THROW(readSettings(file), SettingsError);
  }
}

TEST(Overrides, RoundTripAndAllowancesThatEndedAreDropped) {
  testing::ScratchDir dir;
  const auto file = dir.path() / "overrides.json";
  Overrides overrides;
  overrides.allowances["com.hnc.Discord"] = Date::fromMs(now.ms() + 1);
  overrides.allowances["org.gnome.Chess"] = now;  // ends now: dropped
  overrides.dismissedSession = "s9";
  writeOverrides(file, overrides, now);
  overrides.allowances.erase("org.gnome.Chess");
  EXPECT_EQ(readOverrides(file), overrides);
  EXPECT_EQ(readOverrides(dir.path() / "absent.json"), Overrides{});
  std::ofstream(file) << R"({"allowances":{"x":"soon"}})";
  EXPECT_THROW(readOverrides(file), std::runtime_error);
}

TEST(AppNames, WhatUsersTypeResolvesToEveryIdentifierOfTheApp) {
  const std::vector<std::string> discord{"com.hnc.Discord", "com.hnc.DiscordPTB",
                                         "com.hnc.DiscordCanary"};
  for (const char* typed : {"Discord", "discord", "com.hnc.DiscordPTB", "com.discordapp.Discord"}) {
    const NamedApp app = resolveApp(typed);
    EXPECT_EQ(app.name, "Discord") << typed;
    EXPECT_EQ(app.bundleIDs, discord) << typed;
  }
  EXPECT_EQ(resolveApp("org.gnome.Chess").bundleIDs, std::vector<std::string>{"org.gnome.Chess"});
  EXPECT_TRUE(resolveApp("").bundleIDs.empty());
}

TEST(AppListing, CrossesTheBusUnchanged) {
  const std::vector<AppListing> apps{
      {"com.hnc.Discord", "Discord", "com.discordapp.Discord", true, ShieldReason::distractingApp},
      {"org.gnome.Chess", "org.gnome.Chess", "org.gnome.Chess", false, std::nullopt},
      {"com.google.Chrome", "Google Chrome", "google-chrome", false, ShieldReason::extensionOff}};
  std::string body;
  platform::dbus::Writer out(body);
  writeListings(out, apps);
  platform::dbus::Reader in(body, false);
  EXPECT_TRUE(platform::dbus::Reader(body, false).holds(kAppListingSignature));
  EXPECT_EQ(readListings(in), apps);
  EXPECT_EQ(verdictText(apps[1]), "allowed");
  EXPECT_THAT(verdictText(apps[0]), HasSubstr("blocked list"));
}

}  // namespace
}  // namespace quillbeam::companion
