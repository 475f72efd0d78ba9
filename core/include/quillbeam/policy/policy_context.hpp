#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "quillbeam/policy/companion_settings.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam {

// Everything the policy consults besides the catalog, for one moment.
struct PolicyContext {
  // Per bundle identifier, the instant until which the user has allowed that app.
  using Allowances = std::map<std::string, Date, std::less<>>;

  // The session in force (Health::effectiveSession); absent when none runs.
  std::optional<SessionSnapshot> session;
  Date now;
  CompanionSettings settings;
  // Health::extensionHealthy.
  bool extensionHealthy;
  Allowances allowances;

  PolicyContext(std::optional<SessionSnapshot> session, Date now, CompanionSettings settings,
                bool extensionHealthy, Allowances allowances)
      : session(std::move(session)),
        now(now),
        settings(std::move(settings)),
        extensionHealthy(extensionHealthy),
        allowances(std::move(allowances)) {}

  // Without a session.
  PolicyContext(Date now, CompanionSettings settings, bool extensionHealthy, Allowances allowances)
      : PolicyContext(std::nullopt, now, std::move(settings), extensionHealthy,
                      std::move(allowances)) {}
};

}  // namespace quillbeam
