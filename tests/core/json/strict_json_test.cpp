#include "quillbeam/json/strict_json.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillbeam::json {
namespace {

struct IntCase {
  const char* text;
  bool ok64;
  int64_t value;
};

class ReadInt64 : public ::testing::TestWithParam<IntCase> {};

TEST_P(ReadInt64, AcceptsOnlyWholeNumbersInRange) {
  const auto& c = GetParam();
  Value v = parse(c.text);
  if (c.ok64) {
    EXPECT_EQ(readInt64(v, "n"), c.value);
  } else {
    EXPECT_THROW(readInt64(v, "n"), DecodingError);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ReadInt64,
                         ::testing::Values(IntCase{"0", true, 0}, IntCase{"-1", true, -1},
                                           IntCase{"9223372036854775807", true, INT64_MAX},
                                           IntCase{"-9223372036854775808", true, INT64_MIN},
                                           IntCase{"9223372036854775808", false, 0},
                                           IntCase{"18446744073709551615", false, 0},
                                           IntCase{"1.5", false, 0}, IntCase{"5.0", true, 5},
                                           IntCase{"1e3", true, 1000}, IntCase{"1e19", false, 0},
                                           IntCase{"9.3e18", false, 0}, IntCase{"true", false, 0},
                                           IntCase{"\"7\"", false, 0}, IntCase{"null", false, 0},
                                           IntCase{"[1]", false, 0}));

TEST(ReadInt32, RejectsValuesOutsideThirtyTwoBits) {
  EXPECT_EQ(readInt32(parse("2147483647"), "n"), 2147483647);
  EXPECT_EQ(readInt32(parse("-2147483648"), "n"), INT32_MIN);
  EXPECT_THROW(readInt32(parse("2147483648"), "n"), DecodingError);
  EXPECT_THROW(readInt32(parse("-2147483649"), "n"), DecodingError);
  EXPECT_THROW(readInt32(parse("-1.5"), "n"), DecodingError);
}

TEST(ReadScalars, WrongJsonTypesFail) {
  EXPECT_THROW(readBool(parse("1"), "b"), DecodingError);
  EXPECT_THROW(readBool(parse("\"true\""), "b"), DecodingError);
  EXPECT_THROW(readString(parse("1"), "s"), DecodingError);
  EXPECT_THROW(readAs<std::vector<std::string>>(parse("[\"a\", 1]"), "l"), DecodingError);
  EXPECT_THROW(readAs<std::vector<std::string>>(parse("\"a\""), "l"), DecodingError);
  EXPECT_EQ(readAs<std::vector<std::string>>(parse("[\"a\",\"b\"]"), "l"),
            (std::vector<std::string>{"a", "b"}));
}

TEST(ObjectReader, MissingNullAndPresentKeys) {
  Value v = parse(R"({"a": 1, "n": null, "s": "x", "extra": {"deep": [1,2]}})");
  ObjectReader r(v);
  EXPECT_EQ(r.required<int64_t>("a"), 1);
  EXPECT_THROW(r.required<int64_t>("missing"), DecodingError);
  EXPECT_THROW(r.required<int64_t>("n"), DecodingError);
  EXPECT_EQ(r.optional<int64_t>("n"), std::nullopt);
  EXPECT_EQ(r.optional<int64_t>("missing"), std::nullopt);
  EXPECT_EQ(r.optionalOr<int64_t>("n", 7), 7);
  EXPECT_THROW(r.optional<int64_t>("s"), DecodingError);
  EXPECT_THROW(r.optionalOr<int64_t>("s", 7), DecodingError);
}

TEST(ObjectReader, RefusesNonObjects) {
  for (const char* text : {"[]", "1", "\"x\"", "null", "true"}) {
    EXPECT_THROW(ObjectReader{parse(text)}, DecodingError) << text;
  }
}

TEST(Parse, RefusesInvalidTextAndUtf8) {
  for (std::string text : {std::string(""), std::string("{"), std::string("{} x"),
                           std::string("{\"a\":\"\xff\"}"), std::string("{\"a\":\"\xc3\"}")}) {
    EXPECT_THROW(parse(text), DecodingError) << text;
  }
  EXPECT_NO_THROW(parse("{\"a\":\"\xc3\xa9\"}"));
}

TEST(Compact, ReplacesInvalidUtf8RatherThanFailing) {
  Ordered o = Ordered::object();
  o["s"] = std::string("a\xff");
  EXPECT_EQ(compact(o), "{\"s\":\"a\xef\xbf\xbd\"}");
}

}  // namespace
}  // namespace quillbeam::json
