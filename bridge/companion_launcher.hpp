#pragma once

#include <filesystem>
#include <functional>
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

  // Hands `found` the app bundle three levels above the bridge's real file when its
  // extension is exactly "app", else whatever the system knows for the bundle identifier.
  void appBundleURL(std::function<void(std::optional<platform::AppLocation>)> found) const;

  // Checks afresh on every call whether the app runs, then looks it up, then opens it,
  // each step once the one before has its answer; returns at once, waiting for none of
  // them. A failed launch is logged from the platform's completion. The launcher must
  // outlive the answers, which it does as the loop stops with the process.
  void ensureAppRunning();

 private:
  const ProcessValues& values_;
  platform::Workspace& workspace_;
  std::optional<std::filesystem::path> executablePath_;
};

}  // namespace quillbeam::bridge
