#include "rounding.hpp"

#include <cmath>
#include <limits>

namespace quillbeam {
namespace {

int64_t saturate(double whole) {
  if (std::isnan(whole)) return 0;
  // 2^63 is exactly representable; every double below it converts without overflow.
  if (whole >= 0x1p63) return std::numeric_limits<int64_t>::max();
  if (whole < -0x1p63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(whole);
}

}  // namespace

int64_t roundHalfAwayToInt64(double x) {
  return saturate(std::round(x));
}

int64_t ceilToInt64(double x) {
  return saturate(std::ceil(x));
}

}  // namespace quillbeam
