#include "quillbeam/session/format.hpp"

#include <cinttypes>
#include <cstdio>

#include "rounding.hpp"

namespace quillbeam::Format {

std::string clock(double seconds) {
  // NaN rounds to 0 and out-of-range values saturate, so every input is defined.
  const int64_t n = roundHalfAwayToInt64(seconds);
  const int64_t s = n < 0 ? 0 : n;
  const int64_t h = s / 3600;
  const int64_t m = s % 3600 / 60;
  const int64_t r = s % 60;
  char buffer[48];
  if (n >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%" PRId64 ":%02" PRId64 ":%02" PRId64, h, m, r);
  } else {
    std::snprintf(buffer, sizeof buffer, "%" PRId64 ":%02" PRId64, m, r);
  }
  return buffer;
}

std::string short_(double seconds) {
  // Written so that NaN, which compares false, lands here too.
  if (!(seconds >= 60)) return "<1m";
  const int64_t minutes = ceilToInt64(seconds / 60);
  if (minutes <= 59) return std::to_string(minutes) + "m";
  const int64_t h = minutes / 60;
  const int64_t r = minutes % 60;
  if (r == 0) return std::to_string(h) + "h";
  return std::to_string(h) + "h " + std::to_string(r) + "m";
}

}  // namespace quillbeam::Format
