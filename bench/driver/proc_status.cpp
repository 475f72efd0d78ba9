#include "proc_status.hpp"

#include <fstream>
#include <string>

namespace quillbeam::bench {

std::optional<MemoryUse> memoryUse(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  bool haveRss = false;
  bool havePeak = false;
  MemoryUse use;
  std::string line;
  while (std::getline(status, line)) {
    // Lines read "VmRSS:\t    1536 kB".
    if (line.rfind("VmRSS:", 0) == 0) {
      use.residentKiB = std::stol(line.substr(6));
      haveRss = true;
    } else if (line.rfind("VmHWM:", 0) == 0) {
      use.peakKiB = std::stol(line.substr(6));
      havePeak = true;
    }
  }
  if (!haveRss || !havePeak) return std::nullopt;
  return use;
}

}  // namespace quillbeam::bench
