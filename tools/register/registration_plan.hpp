#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "environment.hpp"
#include "flatpak_app.hpp"
#include "quillbeam/wire/companion_protocol.hpp"

namespace quillbeam::Register {

// The manifest's file name: the host name with ".json".
inline const std::string manifestFileName = std::string(CompanionProtocol::hostName) + ".json";

// One line of the report: a manifest file to write or remove, or a browser that is
// skipped and why.
struct Step {
  std::string label;
  // Absent for a skipped browser.
  std::optional<std::filesystem::path> manifest;
  std::string skipReason;
  // A skip that leaves undone something the user explicitly asked for.
  bool failed = false;
  // For a browser in a Flatpak: its files, launcher and permission besides the manifest.
  std::optional<FlatpakApp> flatpak;

  static Step target(std::string label, std::filesystem::path manifest) {
    return Step{std::move(label), std::move(manifest), {}, false, std::nullopt};
  }
  static Step skipped(std::string label, std::string reason, bool failed = false) {
    return Step{std::move(label), std::nullopt, std::move(reason), failed, std::nullopt};
  }
  static Step flatpakTarget(std::string label, FlatpakApp app) {
    std::filesystem::path manifest = app.manifest;
    return Step{std::move(label), std::move(manifest), {}, false, std::move(app)};
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
