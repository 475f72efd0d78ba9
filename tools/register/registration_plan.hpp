#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "environment.hpp"

namespace quillbeam::Register {

// The manifest's file name: the host name with ".json".
inline constexpr char manifestFileName[] = "com.quillbeam.companion.json";

// One line of the report: a manifest file to write or remove, or a browser that is
// skipped and why.
struct Step {
  std::string label;
  // Absent for a skipped browser.
  std::optional<std::filesystem::path> manifest;
  std::string skipReason;
  // A skip that leaves undone something the user explicitly asked for.
  bool failed = false;

  static Step target(std::string label, std::filesystem::path manifest) {
    return Step{std::move(label), std::move(manifest), {}, false};
  }
  static Step skipped(std::string label, std::string reason, bool failed = false) {
    return Step{std::move(label), std::nullopt, std::move(reason), failed};
  }
};

struct Plan {
  std::vector<Step> steps;
  // Where browsers were looked for when none was found, for the message that says so.
  std::optional<std::filesystem::path> searchedWithoutResult;
};

// The steps for `options`, in the order of the browser table; looks at the file system
// (which browsers are installed) but changes nothing.
Plan planSteps(const Options& options, const Environment& environment);

}  // namespace quillbeam::Register
