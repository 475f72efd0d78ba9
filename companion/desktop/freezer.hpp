#pragma once

#include <optional>
#include <string>

#include "companion/desktop/cgroup_tree.hpp"
#include "companion/desktop/shield_target.hpp"

// Pausing and resuming a shield target. A cgroup is frozen through its cgroup.freeze; an
// app outside any unit is stopped with SIGSTOP and continued with SIGCONT, each process
// through a pidfd after checking that it is still the recorded one and ours. Nothing is
// ever killed, and nothing but the target is written to or signalled.
namespace quillbeam::companion {

struct ShieldResult {
  enum class Status {
    done,     // the whole target is paused / resumed
    gone,     // nothing of the target is left (for resume: nothing to resume)
    refused,  // `error` says why; a refused pause changed nothing, a refused resume
              // continued what it could
  };
  Status status = Status::done;
  std::string error;  // empty when done

  bool done() const { return status == Status::done; }
};

// Refuses a cgroup directory that is not a service or scope beneath the tree's app.slice
// (that of the user's own manager, or a sub-slice of it; none without a tree), opened one directory
// at a time with no symlink followed, on a cgroup2 mount, or that holds this process. For
// processes: those gone (or whose pid now names a later process) are skipped; one of
// another user, or this process, refuses the whole target, and any already stopped are
// continued again, so that a refusal leaves nothing stopped.
ShieldResult pause(const ShieldTarget& target, const std::optional<CgroupTree>& tree);

// Thaws / continues what pause() paused, under the same rules for a cgroup. A vanished
// unit or process is not an error; a process that cannot be continued does not keep the
// others stopped, and a pid that is now this process is gone.
ShieldResult resume(const ShieldTarget& target, const std::optional<CgroupTree>& tree);

// Whether the target is paused: the cgroup's cgroup.freeze holds 1, or every recorded
// process still alive is stopped (and at least one is).
bool isPaused(const ShieldTarget& target);

}  // namespace quillbeam::companion
