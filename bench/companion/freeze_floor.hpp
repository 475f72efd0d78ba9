#pragma once

// The freezer's own floor, measured beside the companion's figures in the same run (the
// absolute times depend on the machine and on what else runs on it): the benchmark itself
// writes cgroup.freeze in units of a throwaway tree of its own, each holding a `sleep` it
// started, and waits for cgroup.events as it waits for the companion. No bus, no record, no
// companion. Its tree, processes and all, goes with it; no companion watches that tree.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "events_watch.hpp"
#include "support/throwaway_cgroup.hpp"

namespace quillbeam::companion::bench {

class FreezeFloor {
 public:
  // Empty when the tree was made; else why not.
  const std::string& why() const { return tree_.why(); }

  // Adds units, one `sleep` each, until there are `count`.
  void grow(size_t count);
  // Milliseconds from writing `freeze` to every unit's cgroup.freeze until each says so in
  // its cgroup.events.
  double setAll(bool freeze);
  // Milliseconds from making a unit, starting a `sleep` in it and freezing it until it is
  // frozen; the unit is then ended and removed.
  double newUnitToFrozen(const std::string& name);

 private:
  std::pair<std::filesystem::path, pid_t> startUnit(const std::string& name);

  testing::ThrowawayCgroup tree_;
  EventsWatch events_;
  std::vector<std::filesystem::path> units_;
};

}  // namespace quillbeam::companion::bench
