#pragma once

#include <sys/types.h>
#include <optional>

namespace quillbeam::bench {

// Memory of a live process from /proc/<pid>/status, in KiB.
struct MemoryUse {
  long residentKiB = 0;  // VmRSS: resident now
  long peakKiB = 0;      // VmHWM: the most it was ever resident
};

// Absent when the process is gone or the kernel does not report the values.
std::optional<MemoryUse> memoryUse(pid_t pid);

// User plus system CPU time of all the process's threads, in clock ticks, from
// /proc/<pid>/stat; absent when the process is gone.
std::optional<long long> cpuTicks(pid_t pid);

}  // namespace quillbeam::bench
