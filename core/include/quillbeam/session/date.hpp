#pragma once

#include <compare>
#include <cstdint>

namespace quillbeam {

// An instant: seconds since 1970-01-01 00:00:00 UTC with sub-second precision.
// Records store instants as signed 64-bit milliseconds; fromMs and ms convert. There is
// no constructor from a bare number: every call site names its unit (fromSeconds, fromMs).
class Date {
 public:
  constexpr Date() = default;

  static Date now();
  static constexpr Date fromSeconds(double secondsSince1970) { return Date(secondsSince1970); }
  static constexpr Date fromMs(int64_t ms) { return Date(static_cast<double>(ms) / 1000.0); }

  // Milliseconds, rounded to the nearest whole number with halves away from zero.
  // NaN gives 0; instants beyond the int64 range saturate at its ends.
  int64_t ms() const;

  constexpr double secondsSince1970() const { return seconds_; }

  friend constexpr double operator-(Date a, Date b) { return a.seconds_ - b.seconds_; }
  friend constexpr Date operator+(Date a, double seconds) { return Date(a.seconds_ + seconds); }
  friend constexpr Date operator-(Date a, double seconds) { return Date(a.seconds_ - seconds); }
  friend constexpr bool operator==(Date, Date) = default;
  friend constexpr auto operator<=>(Date a, Date b) { return a.seconds_ <=> b.seconds_; }

 private:
  constexpr explicit Date(double secondsSince1970) : seconds_(secondsSince1970) {}

  double seconds_ = 0.0;
};

}  // namespace quillbeam
