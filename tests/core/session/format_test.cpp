#include "quillbeam/session/format.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace quillbeam {
namespace {

struct FormatCase {
  double seconds;
  const char* clock;
  const char* short_;
};

void PrintTo(const FormatCase& c, std::ostream* out) {
  *out << c.seconds << " s";
}

class FormatTable : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTable, ClockAndShort) {
  EXPECT_EQ(Format::clock(GetParam().seconds), GetParam().clock);
  EXPECT_EQ(Format::short_(GetParam().seconds), GetParam().short_);
}

INSTANTIATE_TEST_SUITE_P(
    Format, FormatTable,
    ::testing::Values(FormatCase{-5, "0:00", "<1m"}, FormatCase{0, "0:00", "<1m"},
                      FormatCase{5, "0:05", "<1m"}, FormatCase{59.4, "0:59", "<1m"},
                      FormatCase{59.5, "1:00", "<1m"}, FormatCase{60, "1:00", "1m"},
                      FormatCase{61, "1:01", "2m"}, FormatCase{3540, "59:00", "59m"},
                      FormatCase{3541, "59:01", "1h"}, FormatCase{3599.5, "1:00:00", "1h"},
                      FormatCase{3600, "1:00:00", "1h"}, FormatCase{3601, "1:00:01", "1h 1m"},
                      FormatCase{5400, "1:30:00", "1h 30m"}, FormatCase{7200, "2:00:00", "2h"},
                      FormatCase{360000, "100:00:00", "100h"},
                      // Beyond the table: rounding edges.
                      FormatCase{-0.4, "0:00", "<1m"}, FormatCase{-0.5, "0:00", "<1m"},
                      FormatCase{0.5, "0:01", "<1m"}, FormatCase{3599.4, "59:59", "1h"},
                      FormatCase{59.999, "1:00", "<1m"}, FormatCase{60.001, "1:00", "2m"},
                      FormatCase{86399, "23:59:59", "24h"}));

TEST(Format, NonFiniteAndHugeInputsAreDefined) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // int64 max seconds is 2562047788015215 h 30 min 7 s; its minutes 153722867280912930 h 7 min.
  const std::string maxClock = "2562047788015215:30:07";
  const std::string maxShort = "153722867280912930h 7m";

  EXPECT_EQ(Format::clock(nan), "0:00");
  EXPECT_EQ(Format::short_(nan), "<1m");
  EXPECT_EQ(Format::clock(-nan), "0:00");
  EXPECT_EQ(Format::short_(-nan), "<1m");
  EXPECT_EQ(Format::clock(-inf), "0:00");
  EXPECT_EQ(Format::short_(-inf), "<1m");
  EXPECT_EQ(Format::clock(std::numeric_limits<double>::lowest()), "0:00");
  EXPECT_EQ(Format::clock(inf), maxClock);
  EXPECT_EQ(Format::short_(inf), maxShort);
  EXPECT_EQ(Format::clock(std::numeric_limits<double>::max()), maxClock);
  EXPECT_EQ(Format::short_(std::numeric_limits<double>::max()), maxShort);
  EXPECT_EQ(Format::clock(0x1p63), maxClock);
  // Minutes still fit here, seconds do not; the minute count is the double quotient
  // 2^63 / 60 rounded up, 153722867280912928.
  EXPECT_EQ(Format::short_(0x1p63), "2562047788015215h 28m");
  EXPECT_EQ(Format::clock(0x1p62), "1281023894007607:45:04");
}

TEST(Format, EveryBitPatternClassGivesText) {
  // A sweep over sign, exponent and mantissa edges: denormals, powers of two around the
  // int64 limit, NaN payloads. UBSan checks the conversions; the texts must be sane.
  const uint64_t mantissas[] = {0, 1, 0x8000000000000ULL, 0xFFFFFFFFFFFFFULL};
  for (uint64_t sign : {0ULL, 1ULL}) {
    for (uint64_t exponent = 0; exponent <= 0x7FF; ++exponent) {
      for (uint64_t mantissa : mantissas) {
        const double x = std::bit_cast<double>((sign << 63) | (exponent << 52) | mantissa);
        const std::string clock = Format::clock(x);
        const std::string shortText = Format::short_(x);
        ASSERT_NE(clock.find(':'), std::string::npos) << x;
        ASSERT_FALSE(shortText.empty()) << x;
        if (sign == 1 || std::isnan(x) || x < 60) {
          EXPECT_EQ(shortText, "<1m") << x;
        }
        if (sign == 1 || std::isnan(x)) {
          EXPECT_EQ(clock, "0:00") << x;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillbeam
