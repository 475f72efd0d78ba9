#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decision.hpp"
#include "platform/linux/linux_platform.hpp"
#include "platform/linux/unique_fd.hpp"
#include "running_app.hpp"
#include "settings_file.hpp"
#include "shield.hpp"

namespace quillbeam::companion {

class AppDiscovery;
class AppWatch;
class DirectoryWatch;
class ProcessExitWatch;
class CompanionEffects;
class CompanionInterface;

// Where the companion reads and keeps its files.
struct CompanionFiles {
  std::filesystem::path settings;
  std::filesystem::path record;
  std::filesystem::path overrides;
  std::filesystem::path link;
  // The files of this user's session, from the environment.
  static CompanionFiles fromEnvironment();
};

// The Linux companion: owns com.quillbeam.mac on the session bus, watches the running apps
// and the bridge's link, and pauses the apps the policy shields for exactly as long as it
// shields them. Nothing it paused outlives it: every way out resumes everything.
class Companion {
 public:
  using Log = std::function<void(std::string_view)>;

  Companion(platform::LinuxPlatform& platform, CompanionFiles files, Log log);
  ~Companion();
  Companion(const Companion&) = delete;
  Companion& operator=(const Companion&) = delete;

  // Runs until a stop signal, the loss of the bus or of its name. Returns the exit status.
  int run();

  // The platform's word that the bus is gone or failed.
  void busLost(std::string_view why);

  // What the bus interface answers and does.
  struct AppReport {
    RunningApp app;
    Verdict verdict;
  };
  std::vector<AppReport> apps() const;
  // Allows the app (a name or identifier as typed) for `minutes`; returns the end instant.
  Date allow(std::string_view app, double minutes);
  // Reads the settings and overrides again and decides; the settings problem, if any.
  std::optional<std::string> reload();
  // Resumes everything and ends the session's shielding; returns how many were resumed.
  size_t resumeAll();

 private:
  void start();
  void stop(std::string_view why, int status);
  // Read again; a broken settings file keeps the last good settings, and says so.
  bool reloadSettings();
  void reloadOverrides();
  void readLink();
  void rescan();
  void decideNow();
  void armTimer(std::optional<Date> at);
  void armProcessScan(bool on);

  platform::LinuxPlatform& platform_;
  CompanionFiles files_;
  Log log_;
  SettingsSource settings_;
  Overrides overrides_;
  std::optional<BrowserLink> link_;
  std::unique_ptr<CompanionEffects> effects_;
  std::unique_ptr<Shield> shield_;
  std::unique_ptr<AppDiscovery> discovery_;
  std::unique_ptr<AppWatch> watch_;
  std::unique_ptr<CompanionInterface> interface_;
  std::unique_ptr<DirectoryWatch> settingsWatch_;
  std::unique_ptr<ProcessExitWatch> bridgeWatch_;
  std::vector<RunningApp> apps_;
  Decision decision_;
  platform::UniqueFd timer_;        // the next instant a verdict may change
  platform::UniqueFd processScan_;  // while a session runs: apps found by executable
  platform::UniqueFd signals_;
  std::vector<std::unique_ptr<platform::EventLoop::Watch>> watches_;
  bool running_ = false;
  bool stopping_ = false;
  int status_ = 0;
};

}  // namespace quillbeam::companion
