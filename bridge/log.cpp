#include "log.hpp"

#include <unistd.h>

#include <string>

namespace quillbeam::bridge {

void log(std::string_view message) {
  static constexpr std::string_view prefix = "quillbeam-bridge: ";
  std::string line;
  line.reserve(prefix.size() + message.size() + 1);
  line.append(prefix).append(message).push_back('\n');
  // A failed write to standard error has nowhere else to be reported.
  [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace quillbeam::bridge
