#include "decision.hpp"

#include <algorithm>

#include "quillbeam/policy/policy.hpp"

namespace quillbeam::companion {
namespace {

// The instants after `now` at which the inputs change on their own.
std::optional<Date> nextChange(const DecisionInputs& in,
                               const std::optional<SessionSnapshot>& session) {
  std::optional<Date> next;
  const auto consider = [&](Date at) {
    if (at > in.now && (!next || at < *next)) next = at;
  };
  if (session) {
    if (session->endsAt) consider(Date::fromMs(*session->endsAt));
    if (session->breakUntil) consider(Date::fromMs(*session->breakUntil));
  }
  for (const auto& [app, until] : in.overrides.allowances) consider(until);
  if (in.link) {
    const Date seen = Date::fromMs(in.link->lastSeen);
    consider(seen + Health::reconnectGrace);
    if (!in.link->bridgePID) consider(seen + Health::heartbeatGrace);
  }
  return next;
}

}  // namespace

Decision decide(std::vector<RunningApp> apps, const DecisionInputs& in) {
  Decision decision;
  const std::optional<std::string_view> dismissed =
      in.overrides.dismissedSession
          ? std::optional<std::string_view>(*in.overrides.dismissedSession)
          : std::nullopt;
  decision.session = Health::effectiveSession(in.link, in.now, dismissed);
  const auto study = in.settings.studyBrowserIDs();
  const bool studyRunning = std::any_of(apps.begin(), apps.end(), [&](const RunningApp& app) {
    return std::find(study.begin(), study.end(), app.bundleID) != study.end();
  });
  decision.extensionHealthy =
      Health::extensionHealthy(in.link, studyRunning, in.now, in.bridgeAlive);
  const PolicyContext context(decision.session, in.now, in.settings, decision.extensionHealthy,
                              in.overrides.allowances);
  decision.apps.reserve(apps.size());
  for (auto& app : apps) {
    const Verdict verdict = Policy::evaluate(AppIdentity{app.bundleID, app.name}, context);
    const bool spared = app.hostsBridge && verdict.isShield();
    decision.apps.push_back(JudgedApp{std::move(app), verdict, spared});
  }
  // Without a session in force every app is allowed until the link changes, which the
  // bridge announces: nothing to wake up for.
  if (decision.session) decision.nextChange = nextChange(in, decision.session);
  return decision;
}

}  // namespace quillbeam::companion
