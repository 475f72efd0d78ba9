#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/session_mode.hpp"
#include "quillbeam/session/strictness.hpp"

namespace quillbeam {

// A session that the companion app asks the extension to start.
struct SessionDraft {
  std::string goal;
  std::vector<std::string> anchors;
  SessionMode mode = SessionMode::timer;
  Strictness strictness = Strictness::strict;
  std::optional<int64_t> durationMin;
  std::vector<std::string> milestones;

  static SessionDraft fromJson(const json::Value& value);
  // Keys in declaration order; absent optional fields leave no key.
  void writeJson(json::Writer& writer) const;
  std::string encode() const { return json::encode(*this); }
  json::Ordered toJson() const;

  friend bool operator==(const SessionDraft&, const SessionDraft&) = default;
};

}  // namespace quillbeam
