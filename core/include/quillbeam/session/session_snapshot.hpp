#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/session/session_mode.hpp"
#include "quillbeam/session/strictness.hpp"

namespace quillbeam {

// A focus session as the extension reports it while it runs. Times are milliseconds
// since 1970-01-01 UTC.
struct SessionSnapshot {
  std::string id;
  std::string goal;
  SessionMode mode = SessionMode::timer;
  Strictness strictness = Strictness::strict;
  int64_t startedAt = 0;
  std::optional<int64_t> endsAt;
  int64_t milestonesDone = 0;
  int64_t milestonesTotal = 0;
  std::vector<std::string> anchors;
  std::string anchorUrl;
  std::optional<int64_t> breakUntil;
  std::optional<int64_t> sideQuestUntil;
  std::optional<std::string> sideQuestDoubt;

  // Active until its end instant, strictly; always active without an end.
  bool isActive(Date at) const;
  bool onBreak(Date at) const;
  // Seconds to the end, never negative; absent without an end.
  std::optional<double> remaining(Date at) const;
  // Seconds since the start, never negative.
  double elapsed(Date at) const;
  // Seconds left while the side quest or break runs; absent once it has run out.
  std::optional<double> sideQuestRemaining(Date at) const;
  std::optional<double> breakRemaining(Date at) const;

  // Unknown mode or strictness texts read as timer and strict; non-string values fail.
  static SessionSnapshot fromJson(const json::Value& value);
  // Keys in declaration order; absent optional fields leave no key.
  void writeJson(json::Writer& writer) const;
  std::string encode() const { return json::encode(*this); }
  json::Ordered toJson() const;

  friend bool operator==(const SessionSnapshot&, const SessionSnapshot&) = default;
};

}  // namespace quillbeam
