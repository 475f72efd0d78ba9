#include "companion/desktop/process_stat.hpp"

#include <array>
#include <charconv>

#include "companion/desktop/small_file.hpp"

namespace quillbeam::companion {

std::optional<ProcessStat> parseProcessStat(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(close + 1);
  ProcessStat stat;
  // Field 3 (state) is the first after the name; field 22 (start time) the twentieth.
  for (int field = 3; field <= 22; ++field) {
    if (!rest.starts_with(' ')) return std::nullopt;
    rest.remove_prefix(1);
    const size_t end = std::min(rest.find(' '), rest.size());
    const std::string_view token = rest.substr(0, end);
    if (token.empty()) return std::nullopt;
    if (field == 3) {
      if (token.size() != 1) return std::nullopt;
      stat.state = token[0];
    } else if (field == 4) {
      auto [ptr, error] = std::from_chars(token.data(), token.data() + token.size(), stat.parent);
      if (error != std::errc() || ptr != token.data() + token.size()) return std::nullopt;
    } else if (field == 22) {
      auto [ptr, error] =
          std::from_chars(token.data(), token.data() + token.size(), stat.startTime);
      if (error != std::errc() || ptr != token.data() + token.size()) return std::nullopt;
    }
    rest.remove_prefix(end);
  }
  return stat;
}

std::optional<ProcessStat> readProcessStat(int dirFd, const char* path) {
  std::array<char, 1024> buffer;
  auto n = readInto(dirFd, path, buffer);
  if (!n) return std::nullopt;
  return parseProcessStat(std::string_view(buffer.data(), *n));
}

}  // namespace quillbeam::companion
