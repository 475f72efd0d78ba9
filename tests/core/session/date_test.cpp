#include "quillbeam/session/date.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quillbeam/session/rounding.hpp"

namespace quillbeam {
namespace {

struct MsCase {
  double seconds;
  int64_t ms;
};

class DateMs : public ::testing::TestWithParam<MsCase> {};

TEST_P(DateMs, RoundsHalvesAwayFromZeroAndSaturates) {
  EXPECT_EQ(Date(GetParam().seconds).ms(), GetParam().ms) << GetParam().seconds;
}

constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, DateMs,
    ::testing::Values(MsCase{1.5, 1500}, MsCase{0.0005, 1}, MsCase{-0.0005, -1}, MsCase{0.0004, 0},
                      MsCase{-0.0004, 0}, MsCase{0.0025, 3}, MsCase{-2.0, -2000},
                      MsCase{1733486400.123, 1733486400123}, MsCase{std::nan(""), 0},
                      MsCase{inf, INT64_MAX}, MsCase{-inf, INT64_MIN}, MsCase{1e300, INT64_MAX},
                      MsCase{-1e300, INT64_MIN}));

TEST(Date, FromMsDividesByAThousand) {
  EXPECT_DOUBLE_EQ(Date::fromMs(1500).secondsSince1970(), 1.5);
  EXPECT_DOUBLE_EQ(Date::fromMs(-1).secondsSince1970(), -0.001);
  EXPECT_EQ(Date::fromMs(1733486400123).ms(), 1733486400123);
}

TEST(Date, NowIsCloseToTheSystemClock) {
  int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
  int64_t now = Date::now().ms();
  EXPECT_GE(now, before);
  EXPECT_LT(now, before + 60'000);
}

TEST(Rounding, CeilSaturatesAndMapsNanToZero) {
  EXPECT_EQ(ceilToInt64(1.01), 2);
  EXPECT_EQ(ceilToInt64(-1.5), -1);
  EXPECT_EQ(ceilToInt64(std::nan("")), 0);
  EXPECT_EQ(ceilToInt64(inf), INT64_MAX);
  EXPECT_EQ(ceilToInt64(-inf), INT64_MIN);
  EXPECT_EQ(roundHalfAwayToInt64(9.3e18), INT64_MAX);
  EXPECT_EQ(roundHalfAwayToInt64(-0x1p63), INT64_MIN);
}

}  // namespace
}  // namespace quillbeam
