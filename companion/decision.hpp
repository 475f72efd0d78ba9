#pragma once

#include <optional>
#include <vector>

#include "desktop/running_app.hpp"
#include "overrides.hpp"
#include "quillbeam/policy/app_identity.hpp"
#include "quillbeam/policy/companion_settings.hpp"
#include "quillbeam/policy/health.hpp"
#include "quillbeam/policy/verdict.hpp"
#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/session/date.hpp"

namespace quillbeam::companion {

// Everything a decision looks at besides the running apps, for one moment.
struct DecisionInputs {
  std::optional<BrowserLink> link;
  CompanionSettings settings;
  Overrides overrides;
  Date now;
  Health::BridgeAlive bridgeAlive;
};

// One running app and the policy's verdict on it.
struct JudgedApp {
  RunningApp app;
  Verdict verdict = Verdict::allow();
  // Shielded, but it is the browser a connected extension runs in: pausing it would stop
  // the extension, the bridge and the user's way out. Never paused; the user is told.
  bool spared = false;
};

// The verdict on every running app, and the next instant at which one of them may change
// without anything else happening (a session, break or allowance ending; a link growing
// too old to count as healthy).
struct Decision {
  std::optional<SessionSnapshot> session;
  bool extensionHealthy = true;
  std::vector<JudgedApp> apps;  // in the order given
  std::optional<Date> nextChange;
};

// Judges `apps` as the policy does: the session in force and the extension's health from
// the link by the health rules (the study browser counts as running when one of `apps`
// belongs to its family), the settings and the user's overrides.
Decision decide(std::vector<RunningApp> apps, const DecisionInputs& inputs);

}  // namespace quillbeam::companion
