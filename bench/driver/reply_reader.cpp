#include "reply_reader.hpp"

#include <algorithm>
#include <cstdint>

#include "run_failure.hpp"

namespace quillbeam::bench {

bool isHostHello(std::string_view payload) {
  if (payload.find(R"("appVersion")") == std::string_view::npos) return false;
  constexpr std::string_view key = R"("type")";
  constexpr std::string_view blanks = " \t\r\n";
  for (size_t at = payload.find(key); at != std::string_view::npos;
       at = payload.find(key, at + 1)) {
    std::string_view rest = payload.substr(at + key.size());
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(blanks)));
    if (rest.empty() || rest.front() != ':') continue;
    rest.remove_prefix(1);
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(blanks)));
    if (rest.substr(0, 7) == R"("hello")") return true;
  }
  return false;
}

bool ReplyReader::takeHostHello() {
  size_t at = 0;
  bool found = false;
  while (!found && buffer_.size() - at >= 4) {
    const auto* h = reinterpret_cast<const unsigned char*>(buffer_.data() + at);
    const size_t length = static_cast<uint32_t>(h[0]) | static_cast<uint32_t>(h[1]) << 8 |
                          static_cast<uint32_t>(h[2]) << 16 | static_cast<uint32_t>(h[3]) << 24;
    if (length > maxPayload) {
      throw RunFailure("host wrote a frame header of " + std::to_string(length) + " bytes");
    }
    if (buffer_.size() - at - 4 < length) break;
    found = isHostHello(std::string_view(buffer_).substr(at + 4, length));
    at += 4 + length;
  }
  buffer_.erase(0, at);
  return found;
}

}  // namespace quillbeam::bench
