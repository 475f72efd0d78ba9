#include "proc_status.hpp"

#include <fstream>
#include <sstream>
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

std::optional<long long> cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The command name in parentheses may hold blanks; the fields after it do not.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  long long utime = 0;
  long long stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoll(field);
    if (index == 15) stime = std::stoll(field);
  }
  if (!fields) return std::nullopt;
  return utime + stime;
}

}  // namespace quillbeam::bench
