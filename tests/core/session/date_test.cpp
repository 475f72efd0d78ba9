#include "quillbeam/session/date.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

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

}  // namespace
}  // namespace quillbeam
