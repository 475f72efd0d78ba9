#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quillbeam {

enum class Strictness { gentle, strict, lockdown };

namespace Strictnesses {
inline constexpr std::array<Strictness, 3> allCases{Strictness::gentle, Strictness::strict,
                                                    Strictness::lockdown};
}

std::string_view rawValue(Strictness strictness);
// "Gentle", "Strict", "Lockdown".
std::string_view title(Strictness strictness);
// Exact, case-sensitive match of the raw text; any other text gives no value.
std::optional<Strictness> strictnessFromRaw(std::string_view raw);

}  // namespace quillbeam
