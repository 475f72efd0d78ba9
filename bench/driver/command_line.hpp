#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::bench {

// Splits a command given as one string into its words, the way a shell would for a plain
// command: blanks separate words, single quotes keep everything, double quotes keep all but
// \" and \\, a backslash outside quotes escapes the next character. No expansions. Absent
// when a quote is left open or a trailing backslash escapes nothing.
std::optional<std::vector<std::string>> splitCommand(std::string_view text);

}  // namespace quillbeam::bench
