#include "quillbeam/policy/policy.hpp"

#include <gtest/gtest.h>

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

// The baseline: a strict session running for the next half hour, default settings, a
// healthy extension, no allowances.
struct Context {
  std::optional<SessionSnapshot> session = SessionSnapshot{};
  CompanionSettings settings = CompanionSettings::defaults();
  bool healthy = true;
  PolicyContext::Allowances allowances;
};

using C = Context&;

struct Row {
  const char* app;
  Verdict expected;
  void (*change)(Context&) = [](Context&) {};
};

TEST(Policy, Decides) {
  // clang-format off
  const Row rows[] = {
      {discord, distracting}, {"com.apple.MobileSMS", allow}, {"com.hnc.discord", allow},
      {safari, otherBrowser}, {"com.google.Chrome.beta", allow},
      {safari, allow, [](C c) { c.settings.blockOtherBrowsers = false; }},
      {safari, allow, [](C c) {  // a browser is never a distracting app
         c.settings.blockOtherBrowsers = false;
         c.settings.blockedApps.push_back({"S", safari});
       }},
      {chrome, allow, [](C c) { c.settings.blockedApps.push_back({"C", chrome}); }},
      {"com.google.Chrome.beta", extensionOff, [](C c) { c.healthy = false; }},
      {chrome, allow, [](C c) { c.healthy = false, c.session->strictness = Strictness::gentle; }},
      {chrome, allow, [](C c) { c.healthy = false, c.settings.guardExtension = false; }},
      {chrome, otherBrowser, [](C c) { c.settings.studyBrowser = safari; }},
      {"org.example.B", extensionOff,
       [](C c) { c.healthy = false, c.settings.studyBrowser = "org.example.B"; }},
      {safari, otherBrowser, [](C c) { c.healthy = false; }},
      {"com.quillbeam.mac", allow,  // exempt
       [](C c) { c.settings.blockedApps.push_back({"Q", "com.quillbeam.mac"}); }},
      {discord, allow, [](C c) { c.allowances.emplace(discord, now + 1); }},
      {discord, distracting, [](C c) { c.allowances.emplace(discord, now); }},
      {chrome, allow, [](C c) { c.healthy = false, c.allowances.emplace(chrome, now + 1); }},
      {discord, allow, [](C c) { c.session.reset(); }},
      {discord, allow, [](C c) { c.session->endsAt = now.ms(); }},
      {discord, distracting, [](C c) { c.session->endsAt = now.ms() + 1; }},
      {discord, distracting, [](C c) { c.session->endsAt.reset(); }},
      {discord, allow, [](C c) { c.session->breakUntil = now.ms() + 1; }},
      {discord, distracting, [](C c) { c.session->breakUntil = now.ms(); }},
  };
  // clang-format on
  for (size_t i = 0; i < std::size(rows); ++i) {
    Context c;
    c.session->strictness = Strictness::strict;
    c.session->endsAt = now.ms() + 1'800'000;
    rows[i].change(c);
    const PolicyContext context(c.session, now, c.settings, c.healthy, c.allowances);
    EXPECT_EQ(Policy::evaluate(AppIdentity{rows[i].app, "App"}, context), rows[i].expected)
        << "row " << i;
  }
}

}  // namespace
}  // namespace quillbeam
