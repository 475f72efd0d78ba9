#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quillbeam {

enum class SessionMode { timer, goal };

namespace SessionModes {
inline constexpr std::array<SessionMode, 2> allCases{SessionMode::timer, SessionMode::goal};
}

std::string_view rawValue(SessionMode mode);
// Exact, case-sensitive match of the raw text; any other text gives no value.
std::optional<SessionMode> sessionModeFromRaw(std::string_view raw);

}  // namespace quillbeam
