#pragma once

// The companion as a desktop runs it, for measuring: a throwaway cgroup tree laid out like
// a user's manager with `sleep` processes as apps, a private bus, the real bridge with a
// fake extension on its pipes, and the real companion started inside the tree. Everything
// it starts it ends, and everything it paused is resumed, also when a measurement fails or
// the run is interrupted (SIGINT, SIGTERM and SIGHUP are held and turned into an exception
// at the next wait, so that the guards unwind).
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/support/bridge_process.hpp"
#include "events_watch.hpp"
#include "support/private_bus.hpp"
#include "support/throwaway_cgroup.hpp"

namespace quillbeam::companion::bench {

// A figure of /proc/<pid>/status and /proc/<pid>/stat at one instant.
struct ProcessSample {
  double rssKiB = 0;
  double anonKiB = 0;          // of which private to it: heap, stacks, data
  double pssKiB = 0;           // its proportional share, shared library pages divided
  double contextSwitches = 0;  // voluntary + involuntary
  double cpuNs = 0;            // time on a CPU so far
};

class CompanionRig {
 public:
  // `cgroup` made the tree (its why() was empty) and outlives the rig.
  explicit CompanionRig(testing::ThrowawayCgroup& cgroup);
  ~CompanionRig();
  CompanionRig(const CompanionRig&) = delete;
  CompanionRig& operator=(const CompanionRig&) = delete;

  // A new app unit `name` under app.slice with one `sleep` in it; returns its directory.
  std::filesystem::path startApp(const std::string& name);
  // Ends the app's process and removes its unit.
  void endApp(const std::filesystem::path& unit);

  // A state message to the bridge: a strict session `id` running for the next hour, or
  // none (the session ended). Returns the instant it was written.
  Clock::time_point sendSession(const std::optional<std::string>& id);

  // Milliseconds from `start` until `done` holds, checked on every change of a watched
  // cgroup.events. Throws when it does not hold within 10 s or the run is interrupted.
  double msUntil(Clock::time_point start, const std::function<bool()>& done);
  // Waits `seconds` unless interrupted (then throws).
  void pause(double seconds);

  pid_t companionPid() const { return companion_; }
  ProcessSample sample() const;
  // The inotify watches the companion holds now: the `inotify wd:` lines of the fdinfo of
  // each of its descriptors that is an inotify instance.
  size_t inotifyWatches() const;

 private:
  void awaitStart();
  void stopCompanion();

  testing::ThrowawayCgroup& cgroup_;
  quillbeam::testing::PrivateBus bus_;
  std::filesystem::path home_, runtime_, log_;
  std::unique_ptr<quillbeam::testing::BridgeProcess> bridge_;
  EventsWatch events_;
  std::vector<std::pair<std::filesystem::path, pid_t>> apps_;
  pid_t companion_ = -1;
};

}  // namespace quillbeam::companion::bench
