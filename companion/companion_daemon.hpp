#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "companion_service.hpp"
#include "platform/linux/linux_platform.hpp"

namespace quillbeam::companion {

class AppWatch;
class DirectoryWatch;
class ProcessExitWatch;
class CompanionInterface;

// The running companion: owns com.quillbeam.mac on the session bus and wires the service
// to the loop, so that it decides again whenever something it judges by changes: the
// bridge's word on the bus, an app unit coming or going, the settings file, the instant a
// session, break or allowance ends. Nothing it paused outlives it: every way out resumes
// everything.
class CompanionDaemon {
 public:
  using Log = CompanionService::Log;

  CompanionDaemon(platform::LinuxPlatform& platform, CompanionFiles files, Log log);
  ~CompanionDaemon();
  CompanionDaemon(const CompanionDaemon&) = delete;
  CompanionDaemon& operator=(const CompanionDaemon&) = delete;

  // Runs until a stop signal, the loss of the bus or of its name. Returns the exit status.
  int run();

  // The platform's word that the bus is gone or failed.
  void busLost(std::string_view why);

 private:
  void start();
  void stop(std::string_view why, int status);
  void decide();
  // After every decision: waits for the next instant a verdict may change, and for the end
  // of the bridge the link names.
  void decided();
  void armTimer(std::optional<Date> at);
  void armProcessScan(bool on);

  platform::LinuxPlatform& platform_;
  CompanionFiles files_;
  Log log_;
  std::unique_ptr<CompanionService> service_;
  std::unique_ptr<AppWatch> watch_;
  std::unique_ptr<CompanionInterface> interface_;
  std::unique_ptr<DirectoryWatch> settingsWatch_;
  std::unique_ptr<ProcessExitWatch> bridgeWatch_;
  std::unique_ptr<platform::EventLoop::SignalSubscription> stopSignals_;
  std::unique_ptr<platform::EventLoop::Timer> nextChange_;   // a verdict may change then
  std::unique_ptr<platform::EventLoop::Timer> processScan_;  // apps found by executable
  bool stopping_ = false;
  int status_ = 0;
};

}  // namespace quillbeam::companion
