#include "quillbeam/session/session_mode.hpp"

namespace quillbeam {

std::string_view rawValue(SessionMode mode) {
  return mode == SessionMode::goal ? "goal" : "timer";
}

std::optional<SessionMode> sessionModeFromRaw(std::string_view raw) {
  for (SessionMode m : SessionModes::allCases) {
    if (rawValue(m) == raw) return m;
  }
  return std::nullopt;
}

}  // namespace quillbeam
