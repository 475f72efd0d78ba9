#pragma once

#include <string>

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

// Refuses a cgroup directory that is not an absolute plain path to a directory on a
// cgroup2 mount, named like a service or scope, in a slice under an app.slice, or that
// holds this process. For
// processes: those gone (or whose pid now names a later process) are skipped; one of
// another user, or this process, refuses the whole target, and any already stopped are
// continued again, so that a refusal leaves nothing stopped.
ShieldResult pause(const ShieldTarget& target);

// Thaws / continues what pause() paused. A vanished unit or process is not an error.
ShieldResult resume(const ShieldTarget& target);

// Whether the target is paused: the cgroup's cgroup.freeze holds 1, or every recorded
// process still alive is stopped (and at least one is).
bool isPaused(const ShieldTarget& target);

}  // namespace quillbeam::companion
