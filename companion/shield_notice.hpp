#pragma once

#include <optional>
#include <string>

#include "quillbeam/policy/companion_settings.hpp"
#include "quillbeam/policy/shield_reason.hpp"
#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam::companion {

// What the user reads about one shielded app: which app, why in plain words, until when.
struct ShieldNotice {
  std::string summary;
  std::string body;
};

ShieldNotice shieldNotice(const std::string& appName, ShieldReason reason,
                          const SessionSnapshot& session, const CompanionSettings& settings);

// What the user reads about a shielded browser left running because the extension runs in
// it, with the command that stops it being shielded.
ShieldNotice sparedNotice(const std::string& appName, ShieldReason reason,
                          const SessionSnapshot& session, const CompanionSettings& settings);

// "until 14:05" (local time), or "until the session ends" for a session without a fixed end.
std::string untilText(const SessionSnapshot& session);

}  // namespace quillbeam::companion
