#include "quillbeam/json/json_writer.hpp"

#include <gtest/gtest.h>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/json/utf8.hpp"

namespace quillbeam::json {
namespace {

TEST(JsonWriter, WritesLikeTheJsonLibraryAndReplacesInvalidUtf8) {
  const auto written = [](std::string_view text) {
    std::string out;
    Writer(out).value(text);
    return out;
  };
  for (std::string text :
       {std::string("quote \" and \\ backslash /"), std::string("\b\f\n\r\t\x01\x1f\x7f"),
        std::string("é ✓ 𝄞"), std::string("a\0b", 3)}) {
    EXPECT_EQ(written(text), Value(text).dump()) << text;
  }
  // Each byte that starts no valid sequence becomes U+FFFD: cut, surrogate, overlong.
  EXPECT_EQ(written("a\xff\xe2\x82"
                    "A\xed\xa0\x80\xc0\xaf"),
            "\"a\uFFFD\uFFFD\uFFFDA\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\"");
  // A view ends where it says, whatever byte follows it.
  EXPECT_TRUE(isValidUtf8(std::string_view("a\xff", 1)));
  // Commas, nesting and absent optionals.
  std::string out;
  Writer w(out);
  w.beginObject();
  w.field("a", int64_t{-9223372036854775807 - 1});
  w.field("b", std::optional<int64_t>());
  w.field("c", std::vector<std::string>{"x", ""});
  w.key("d");
  w.beginArray();
  w.null();
  w.value(true);
  w.value(false);
  w.endArray();
  w.endObject();
  EXPECT_EQ(out, R"({"a":-9223372036854775808,"c":["x",""],"d":[null,true,false]})");
}

std::string nested(size_t depth, const char* inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(Parse, RefusesInvalidTextAndNestingPastTheLimit) {
  for (std::string text : {std::string(""), std::string("{} x"), std::string("{\"a\":\"\xff\"}"),
                           nested(maxDepth + 1), "[{\"a\":" + nested(maxDepth) + "}]",
                           std::string(8u << 20, '['), "[\"\\\\\"," + nested(maxDepth) + "]"}) {
    EXPECT_THROW(parse(text), DecodingError) << text.substr(0, 40);
  }
  // Brackets in strings are text; siblings do not add up.
  const std::string brackets(100000, '[');
  EXPECT_EQ(parse("[\"" + brackets + "\",\"\\\"[[\"]"), Value({brackets, "\"[["}));
  EXPECT_NO_THROW(parse("[" + nested(maxDepth - 1) + "," + nested(maxDepth - 1) + "]"));
}

TEST(Readers, AcceptOnlyWholeNumbersInRangeAndTellMissingFromNull) {
  EXPECT_EQ(readInt64(parse("-9223372036854775808"), "n"), INT64_MIN);
  EXPECT_EQ(readInt64(parse("9223372036854775807"), "n"), INT64_MAX);
  // Judged by the number as written, not by the double it rounds to.
  const std::pair<const char*, int64_t> whole[] = {{"1e3", 1000},
                                                   {"1.0", 1},
                                                   {"100e-2", 1},
                                                   {"0.5E1", 5},
                                                   {"-0.0", 0},
                                                   {"0.000e5", 0},
                                                   {"-9223372036854775808.0", INT64_MIN},
                                                   {"9223372036854775807.0", INT64_MAX}};
  for (const auto& [text, value] : whole) EXPECT_EQ(readInt64(parse(text), "n"), value) << text;
  for (const char* text :
       {"9223372036854775808", "1.5", "9.3e18", "true", "\"7\"", "null", "-9223372036854775809",
        "-9223372036854775808.5", "9223372036854775807.5", "1.0000000000000001",
        "0.99999999999999999", "1e-400", "-1e400"}) {
    EXPECT_THROW(readInt64(parse(text), "n"), DecodingError) << text;
  }
  EXPECT_EQ(readInt32(parse("-2147483648"), "n"), INT32_MIN);
  EXPECT_THROW(readInt32(parse("2147483648"), "n"), DecodingError);
  EXPECT_THROW(readBool(parse("1"), "b"), DecodingError);
  EXPECT_THROW(readAs<std::vector<std::string>>(parse("[\"a\", 1]"), "l"), DecodingError);
  const Value v = parse(R"({"a": 1, "n": null, "s": "x"})");
  ObjectReader r(v);
  EXPECT_EQ(r.required<int64_t>("a"), 1);
  EXPECT_THROW(r.required<int64_t>("missing"), DecodingError);
  EXPECT_THROW(r.required<int64_t>("n"), DecodingError);
  EXPECT_EQ(r.optional<int64_t>("n"), std::nullopt);
  EXPECT_EQ(r.optional<int64_t>("missing"), std::nullopt);
  EXPECT_EQ(r.optionalOr<int64_t>("n", 7), 7);
  EXPECT_THROW(r.optional<int64_t>("s"), DecodingError);
  EXPECT_THROW(ObjectReader{parse("[]")}, DecodingError);
}

}  // namespace
}  // namespace quillbeam::json
