// Format.clock and Format.short on any double: NaN, infinities, subnormals, values beyond
// the 64-bit range and exact halves. No input may reach undefined behaviour (UBSan watches
// the conversions); inside the range where doubles hold whole seconds exactly, the texts
// are checked against a plain computation.
#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

#include "fuzz_check.hpp"
#include "quillbeam/session/format.hpp"

namespace {

double pickSeconds(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {  // Any bit pattern.
      const uint64_t bits = in.ConsumeIntegral<uint64_t>();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case 1:  // Halves and near-halves around whole seconds.
      return static_cast<double>(in.ConsumeIntegral<int32_t>()) / 2.0 +
             in.PickValueInArray({0.0, 1e-9, -1e-9});
    default:
      return in.ConsumeFloatingPoint<double>();
  }
}

std::string expectedClock(double seconds) {
  const long long n = std::llround(seconds);  // halves away from zero
  const long long s = n < 0 ? 0 : n;
  char buffer[64];
  if (n >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", s / 3600, s % 3600 / 60, s % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", s / 60, s % 60);
  }
  return buffer;
}

std::string expectedShort(double seconds) {
  if (seconds < 60) return "<1m";
  const auto minutes = static_cast<long long>(std::ceil(seconds / 60));
  if (minutes <= 59) return std::to_string(minutes) + "m";
  const long long h = minutes / 60;
  const long long r = minutes % 60;
  return r == 0 ? std::to_string(h) + "h" : std::to_string(h) + "h " + std::to_string(r) + "m";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const double seconds = pickSeconds(in);
  const std::string clock = quillbeam::Format::clock(seconds);
  const std::string brief = quillbeam::Format::short_(seconds);

  static const std::regex clockShape(R"([1-5]?\d:[0-5]\d|[1-9]\d*:[0-5]\d:[0-5]\d)");
  static const std::regex shortShape(
      R"(<1m|[1-5]?[1-9]m|[1-5]0m|[1-9]\d*h( ([1-5]?[1-9]|[1-5]0)m)?)");
  FUZZ_CHECK(std::regex_match(clock, clockShape));
  FUZZ_CHECK(std::regex_match(brief, shortShape));

  // 2^52: every double below it in magnitude is a whole number or lies between two.
  if (std::isfinite(seconds) && std::fabs(seconds) < 0x1p52) {
    FUZZ_CHECK(clock == expectedClock(seconds));
    FUZZ_CHECK(brief == expectedShort(seconds));
  }
  return 0;
}
