#pragma once

#include <sys/types.h>

#include <charconv>
#include <string_view>

// The text of a unit's cgroup.events and cgroup.procs. The kernel writes it, but the units
// are the apps' own, and their files are read as they are found.
namespace quillbeam::companion {

// Whether a line of `text` is exactly `line`.
inline bool hasLine(std::string_view text, std::string_view line) {
  for (size_t at = text.find(line); at != std::string_view::npos; at = text.find(line, at + 1)) {
    const bool starts = at == 0 || text[at - 1] == '\n';
    const size_t end = at + line.size();
    if (starts && (end == text.size() || text[end] == '\n')) return true;
  }
  return false;
}

struct CgroupEvents {
  bool populated = false;  // a process is left in the unit (an empty one runs no app)
  bool frozen = false;     // a freeze has taken hold
};

inline CgroupEvents parseCgroupEvents(std::string_view text) {
  return {hasLine(text, "populated 1"), hasLine(text, "frozen 1")};
}

// Passes the pid on each whole line of cgroup.procs text to `onPid` (a line without a
// positive number is skipped) and returns what follows the last newline: a line that a
// read cut, to be carried to the next read.
template <class OnPid>
std::string_view parseCgroupProcs(std::string_view text, OnPid&& onPid) {
  for (size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1)) {
    pid_t pid = 0;
    std::from_chars(text.data(), text.data() + end, pid);
    if (pid > 0) onPid(pid);
  }
  return text;
}

}  // namespace quillbeam::companion
