#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillbeam::bench {

// Appends one frame (4-byte little-endian length, then the payload) to `out`. No size
// limit: the driver may send what a host must refuse.
inline void appendFrame(std::string& out, std::string_view payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  const char header[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                          static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
  out.append(header, 4);
  out.append(payload);
}

inline std::string framed(std::string_view payload) {
  std::string out;
  out.reserve(payload.size() + 4);
  appendFrame(out, payload);
  return out;
}

}  // namespace quillbeam::bench
