#include "session_bus_access.hpp"

#include <utility>

namespace quillbeam::cli {

std::unique_ptr<platform::LinuxPlatform> openSessionBus(std::string& problem,
                                                        std::function<void()> onProblem) {
  return platform::makeLinuxPlatform(
      [&problem, onProblem = std::move(onProblem)](std::string_view line) {
        if (!problem.empty()) return;
        problem = line;
        if (onProblem) onProblem();
      });
}

}  // namespace quillbeam::cli
