#pragma once

#include <cstdint>

namespace quillbeam {

// Double-to-integer conversions that are defined for every input: NaN gives 0, and
// values beyond the int64 range (infinities included) saturate at its ends.

// Nearest whole number, halves away from zero (2.5 -> 3, -2.5 -> -3).
int64_t roundHalfAwayToInt64(double x);

// Smallest whole number not below x.
int64_t ceilToInt64(double x);

}  // namespace quillbeam
