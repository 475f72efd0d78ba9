// Integers are judged by the number as written, not by the double it rounds to.
#include <gtest/gtest.h>

#include <optional>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::json {
namespace {

struct NumberCase {
  const char* text;
  std::optional<int64_t> value;  // absent: rejected
};

class ExactNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ExactNumbers, AreIntegersExactlyWhenWrittenAsWholeNumbersInRange) {
  const auto read = [] { return readInt64(parse(GetParam().text), "n"); };
  if (GetParam().value) {
    EXPECT_EQ(read(), *GetParam().value);
  } else {
    EXPECT_THROW(read(), DecodingError);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ExactNumbers,
                         ::testing::Values(NumberCase{"-9223372036854775809", std::nullopt},
                                           NumberCase{"-9223372036854775808.5", std::nullopt},
                                           NumberCase{"-9223372036854775808.0", INT64_MIN},
                                           NumberCase{"9223372036854775807.0", INT64_MAX},
                                           NumberCase{"9223372036854775807.5", std::nullopt},
                                           NumberCase{"1.0000000000000001", std::nullopt},
                                           NumberCase{"0.99999999999999999", std::nullopt},
                                           NumberCase{"1e-400", std::nullopt},
                                           NumberCase{"-1e400", std::nullopt}, NumberCase{"1.0", 1},
                                           NumberCase{"1e2", 100}, NumberCase{"100e-2", 1},
                                           NumberCase{"0.5E1", 5}, NumberCase{"-0.0", 0},
                                           NumberCase{"12.50e1", 125}, NumberCase{"0.000e5", 0}));

}  // namespace
}  // namespace quillbeam::json
