#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/workspace.hpp"
#include "process_values.hpp"

namespace quillbeam::bridge {

// Makes sure the companion app runs, launching it in the background when it does not.
class CompanionLauncher {
 public:
  // `executablePath` is the path the bridge was started by (its first argument), absent
  // when the process got no arguments at all.
  CompanionLauncher(const ProcessValues& values, platform::Workspace& workspace,
                    std::optional<std::filesystem::path> executablePath);

  // The app bundle three levels above the bridge's real file when its extension is
  // exactly "app", else whatever the system knows for the bundle identifier.
  std::optional<platform::AppLocation> appBundleURL() const;

  // Checks afresh on every call and returns without waiting for a launch; a failed launch
  // is logged from the platform's completion.
  void ensureAppRunning();

 private:
  const ProcessValues& values_;
  platform::Workspace& workspace_;
  std::optional<std::filesystem::path> executablePath_;
};

}  // namespace quillbeam::bridge
