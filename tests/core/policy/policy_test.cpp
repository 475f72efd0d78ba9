#include "quillbeam/policy/policy.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quillbeam/policy/app_catalog.hpp"
#include "quillbeam/policy/bridge_alive.hpp"
#include "quillbeam/policy/health.hpp"

namespace quillbeam {
namespace {

const Date now = Date::fromMs(1'700'000'000'000);
const char* const chrome = "com.google.Chrome";
const char* const safari = "com.apple.Safari";
const char* const discord = "com.hnc.Discord";
const Verdict allow = Verdict::allow();
const Verdict distracting = Verdict::shield(ShieldReason::distractingApp);
const Verdict otherBrowser = Verdict::shield(ShieldReason::otherBrowser);
const Verdict extensionOff = Verdict::shield(ShieldReason::extensionOff);

using C = PolicyContext&;

struct Row {
  const char* app;
  Verdict expected;
  void (*change)(C) = [](C) {};
};

TEST(Policy, Decides) {
  // clang-format off
  const Row rows[] = {
      {discord, distracting}, {"com.apple.MobileSMS", allow}, {"com.hnc.discord", allow},
      {"com.burbn.instagram", distracting},  // the catalogue's last app, past unblocked ones
      {safari, otherBrowser}, {"com.google.Chrome.beta", allow},
      {safari, allow, [](C c) {  // a browser is never a distracting app
         c.settings.blockOtherBrowsers = false;
         c.settings.blockedApps.push_back({"S", safari});
       }},
      {chrome, allow, [](C c) { c.settings.blockedApps.push_back({"C", chrome}); }},
      {"com.google.Chrome.beta", extensionOff,  // any ID of the family names it
       [](C c) { c.extensionHealthy = false, c.settings.studyBrowser = "com.google.Chrome.dev"; }},
      {chrome, allow,
       [](C c) { c.extensionHealthy = false, c.session->strictness = Strictness::gentle; }},
      {chrome, allow, [](C c) { c.extensionHealthy = false, c.settings.guardExtension = false; }},
      {chrome, otherBrowser, [](C c) { c.settings.studyBrowser = safari; }},
      {"org.example.B", extensionOff,
       [](C c) { c.extensionHealthy = false, c.settings.studyBrowser = "org.example.B"; }},
      {"com.quillbeam.mac", allow,  // exempt
       [](C c) { c.settings.blockedApps.push_back({"Q", "com.quillbeam.mac"}); }},
      {discord, allow, [](C c) { c.allowances.emplace(discord, now + 1); }},
      {discord, distracting, [](C c) { c.allowances.emplace(discord, now); }},
      {chrome, allow, [](C c) { c.extensionHealthy = false, c.allowances.emplace(chrome, now + 1); }},
      {discord, allow, [](C c) { c.session.reset(); }},
      {discord, allow, [](C c) { c.session->endsAt = now.ms(); }},
      {discord, distracting, [](C c) { c.session->endsAt.reset(); }},
      {discord, allow, [](C c) { c.session->breakUntil = now.ms() + 1; }},
  };
  // clang-format on
  for (size_t i = 0; i < std::size(rows); ++i) {
    // The baseline: a strict session running for the next half hour, default settings, a
    // healthy extension, no allowances.
    PolicyContext c(SessionSnapshot{}, now, CompanionSettings::defaults(), true, {});
    c.session->strictness = Strictness::strict;
    c.session->endsAt = now.ms() + 1'800'000;
    rows[i].change(c);
    EXPECT_EQ(Policy::evaluate(AppIdentity{rows[i].app, "App"}, c), rows[i].expected) << i;
  }
  for (const char* id : {"com.google.chrome", "com.google.Chrome ", "com.hnc.Discord", ""}) {
    EXPECT_EQ(AppCatalog::browser(id), nullptr) << id;
  }
}

TEST(Records, CompanionSettingsAndKnownAppsKeepKeyOrderAndNeedEveryKey) {
  EXPECT_EQ(CompanionSettings("x", 0, 0, std::nullopt, 0).blockedApps,
            CompanionSettings::defaultBlockedApps());
  EXPECT_TRUE(CompanionSettings("x", 0, 0, std::vector<BlockedApp>{}, 0).blockedApps.empty());
  const std::string text =
      R"({"studyBrowser":"s","blockOtherBrowsers":true,"guardExtension":false,)"
      R"("blockedApps":[{"name":"n","bundleID":"b"}],"onboarded":true})";
  const CompanionSettings settings = CompanionSettings::fromJson(json::parse(text));
  EXPECT_EQ(settings, CompanionSettings("s", true, false, std::vector<BlockedApp>{{"n", "b"}}, 1));
  EXPECT_EQ(json::compact(settings.toJson()), text);
  for (const char* key : {"/studyBrowser", "/blockOtherBrowsers", "/guardExtension", "/blockedApps",
                          "/onboarded", "/blockedApps/0/name"}) {
    json::Value j = json::parse(text);
    j[json::Value::json_pointer(key)] = nullptr;
    EXPECT_THROW(CompanionSettings::fromJson(j), DecodingError) << key;
  }
  // A known app without bundle IDs goes by its name; the category's case matters.
  const std::string app =
      R"({"name":"N","bundleIDs":[],"category":"games","blockedByDefault":false})";
  const KnownApp known = KnownApp::fromJson(json::parse(app));
  EXPECT_EQ(json::compact(known.toJson()), app);
  EXPECT_EQ(known.id(), "N");
  EXPECT_THROW(KnownApp::fromJson(json::parse(std::string(app).replace(app.find("games"), 1, "G"))),
               DecodingError);
}

const int64_t lastSeen = 1'700'000'000'000;

TEST(Health, ConnectedAndHealthyAtTheGraces) {
  // connected, bridge pid, its process alive, age of lastSeen; connected, healthy with the
  // study browser running.
  using Row = std::tuple<bool, std::optional<int32_t>, bool, double, bool, bool>;
  for (const auto& [connected, pid, alive, age, isConnected, healthy] :
       {Row{true, {}, false, 119.9, true, true},  // heartbeat grace
        Row{true, {}, false, 120, false, false},
        Row{true, 42, false, 19.9, false, true},  // reconnect grace
        Row{true, 42, false, 20, false, false}, Row{true, 42, true, 1e9, true, true},
        Row{false, 42, true, 19.9, false, true}}) {
    const BrowserLink link{connected, lastSeen, {}, {}, pid};
    const Date at = Date::fromMs(lastSeen) + age;
    const auto running = [up = alive](int32_t id) { return id == 42 && up; };
    SCOPED_TRACE(::testing::Message() << connected << " " << pid.has_value() << " " << age);
    EXPECT_EQ(Health::isConnected(link, at, running), isConnected);
    EXPECT_EQ(Health::extensionHealthy(link, true, at, running), healthy);
    EXPECT_TRUE(Health::extensionHealthy(link, false, at, running));  // without the browser
  }
  EXPECT_FALSE(Health::isConnected(std::nullopt, Date::now(), Health::bridgeAlive));
  EXPECT_FALSE(Health::extensionHealthy(std::nullopt, true, Date::now(), Health::bridgeAlive));
}

TEST(Health, EffectiveSessionRunsUntilItsEndUnlessDismissed) {
  SessionSnapshot s;
  s.id = "s1";
  s.endsAt = lastSeen + 60'000;
  const BrowserLink link{false, lastSeen, {}, s};  // neither connection nor age matters
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen + 59'999), std::nullopt), s);
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen + 60'000), std::nullopt),
            std::nullopt);
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen), "S1"), s);
  EXPECT_EQ(Health::effectiveSession(link, Date::fromMs(lastSeen), "s1"), std::nullopt);
  EXPECT_EQ(Health::effectiveSession(BrowserLink{}, Date::fromMs(lastSeen), {}), std::nullopt);
}

TEST(BridgeAlive, OnlyARunningProcessIsAlive) {
  EXPECT_TRUE(Health::bridgeAlive(::getpid()));
  EXPECT_TRUE(Health::bridgeAlive(1));  // someone else's: kill() answers EPERM
  // kill() would take these as process groups, or every process, and report success.
  for (int32_t pid : {0, -1, -::getpgrp(), INT32_MIN}) EXPECT_FALSE(Health::bridgeAlive(pid));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(Health::bridgeAlive(child));  // a zombie
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(Health::bridgeAlive(child));  // reaped
}

}  // namespace
}  // namespace quillbeam
