#include "quillbeam/session/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "quillbeam/session/date.hpp"

namespace quillbeam {
namespace {

TEST(Date, MillisecondsRoundHalvesAwayFromZeroAndSaturate) {
  EXPECT_EQ(Date(0.0005).ms(), 1);
  EXPECT_EQ(Date(-0.0005).ms(), -1);
  EXPECT_EQ(Date(0.0004).ms(), 0);
  EXPECT_EQ(Date(std::nan("")).ms(), 0);
  EXPECT_EQ(Date(-1e300).ms(), INT64_MIN);
  EXPECT_DOUBLE_EQ(Date::fromMs(-1).secondsSince1970(), -0.001);
  const int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
  EXPECT_GE(Date::now().ms(), before);
  EXPECT_LT(Date::now().ms(), before + 60'000);
}

TEST(Format, ClockAndShortRoundAtTheirEdges) {
  struct Row {
    double seconds;
    const char* clock;
    const char* short_;
  };
  for (const Row& r :
       {Row{-0.5, "0:00", "<1m"}, Row{0.5, "0:01", "<1m"}, Row{59.5, "1:00", "<1m"},
        Row{60, "1:00", "1m"}, Row{60.001, "1:00", "2m"}, Row{3541, "59:01", "1h"},
        Row{3599.5, "1:00:00", "1h"}, Row{3601, "1:00:01", "1h 1m"}, Row{5400, "1:30:00", "1h 30m"},
        Row{7200, "2:00:00", "2h"}, Row{360000, "100:00:00", "100h"}, Row{NAN, "0:00", "<1m"},
        Row{-INFINITY, "0:00", "<1m"},
        // Past int64 the seconds saturate; the minutes still fit at 2^63.
        Row{INFINITY, "2562047788015215:30:07", "153722867280912930h 7m"},
        Row{0x1p63, "2562047788015215:30:07", "2562047788015215h 28m"}}) {
    EXPECT_EQ(Format::clock(r.seconds), r.clock) << r.seconds;
    EXPECT_EQ(Format::short_(r.seconds), r.short_) << r.seconds;
  }
}

}  // namespace
}  // namespace quillbeam
