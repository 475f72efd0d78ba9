#pragma once

// Waiting for units to change, as the live benchmark sees them: every change of "frozen"
// and "populated" shows in a unit's cgroup.events, which inotify announces. One wait serves
// the companion's figures and the freezer's own floor, so that both are timed alike.
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/linux/unique_fd.hpp"

namespace quillbeam::companion::bench {

using Clock = std::chrono::steady_clock;

// A stop signal arrived during a measurement.
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// Throws Interrupted when SIGINT, SIGTERM or SIGHUP is pending (the caller holds them).
void throwIfInterrupted();

class EventsWatch {
 public:
  EventsWatch();

  // Wakes the waits below on every change of the unit's cgroup.events.
  void add(const std::filesystem::path& unit);

  // Milliseconds from `start` until `done` holds, checked on every change of a watched
  // cgroup.events. Throws when it does not hold within 10 s (with `context()` in the
  // message, when given) or the run is interrupted.
  double msUntil(Clock::time_point start, const std::function<bool()>& done,
                 const std::function<std::string()>& context = {});

 private:
  platform::UniqueFd inotify_;
};

bool isFrozen(const std::filesystem::path& unit);

}  // namespace quillbeam::companion::bench
