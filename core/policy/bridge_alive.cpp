#include "quillbeam/policy/bridge_alive.hpp"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

namespace quillbeam::Health {
namespace {

// The state letter of /proc/<pid>/stat, or 0 when it cannot be read. The command name
// in parentheses may hold spaces and ")", so the state is found after the last ")".
char procState(int32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  if (!in) return 0;
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

}  // namespace

bool bridgeAlive(int32_t pid) {
  // kill() with 0 or a negative identifier addresses a process group, not one process.
  if (pid <= 0) return false;
  // EPERM means the process exists but belongs to someone else.
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  char state = procState(pid);
  // Without a readable /proc entry the signal check is the best answer there is.
  return state != 'Z' && state != 'X';
}

}  // namespace quillbeam::Health
