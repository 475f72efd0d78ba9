#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "quillbeam/policy/policy_context.hpp"
#include "quillbeam/session/date.hpp"

namespace quillbeam::companion {

// What the user said to lift the shield for a while: per app, the instant until which it
// is allowed, and a session whose shielding was ended early ("resume everything").
struct Overrides {
  PolicyContext::Allowances allowances;
  std::optional<std::string> dismissedSession;

  // {"allowances": {"<bundle ID>": <ms>, ...}, "dismissedSession": "<id>" | absent}.
  // Throws DecodingError.
  static Overrides fromJson(const json::Value& value);
  json::Ordered toJson() const;
  friend bool operator==(const Overrides&, const Overrides&) = default;
};

// The overrides in `file`; none when it does not exist. Throws std::runtime_error naming the
// file when it cannot be read or parsed.
Overrides readOverrides(const std::filesystem::path& file);

// Replaces `file` atomically, leaving out allowances that ended at or before `now`.
// Throws std::runtime_error naming the file.
void writeOverrides(const std::filesystem::path& file, Overrides overrides, Date now);

}  // namespace quillbeam::companion
