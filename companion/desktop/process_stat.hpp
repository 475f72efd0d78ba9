#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillbeam::companion {

// The fields of /proc/<pid>/stat the companion needs.
struct ProcessStat {
  char state = '?';        // 'T' when stopped by a signal
  int parent = 0;          // the parent's pid (field 4); 0 for the first process
  uint64_t startTime = 0;  // clock ticks after boot (field 22)
};

// Parses stat text. The command name (field 2) may hold spaces and parentheses, so the
// fields are counted from its last ')'.
std::optional<ProcessStat> parseProcessStat(std::string_view text);

// Reads and parses `path` relative to `dirFd` ("123/stat" under a /proc fd, or an
// absolute path with AT_FDCWD); nothing when the process is gone.
std::optional<ProcessStat> readProcessStat(int dirFd, const char* path);

}  // namespace quillbeam::companion
