// Documents nested deeper than maxDepth are refused before a DOM is built; nesting is
// counted outside strings only.
#include <gtest/gtest.h>

#include <string>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::json {
namespace {

std::string nestedArrays(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nestedObjects(size_t depth) {
  std::string s;
  for (size_t i = 0; i < depth; ++i) s += "{\"a\":";
  s += "1";
  s += std::string(depth, '}');
  return s;
}

TEST(NestingLimit, TheLimitItselfParsesAndOneMoreLevelIsRefused) {
  EXPECT_NO_THROW(parse(nestedArrays(maxDepth)));
  EXPECT_NO_THROW(parse(nestedObjects(maxDepth)));
  EXPECT_THROW(parse(nestedArrays(maxDepth + 1)), DecodingError);
  EXPECT_THROW(parse(nestedObjects(maxDepth + 1)), DecodingError);
  // Mixed containers count alike.
  EXPECT_THROW(parse("[" + nestedObjects(maxDepth) + "]"), DecodingError);
}

TEST(NestingLimit, SiblingsDoNotAddUp) {
  std::string wide = "[";
  for (int i = 0; i < 1000; ++i) wide += (i ? "," : "") + nestedArrays(maxDepth - 1);
  wide += "]";
  EXPECT_NO_THROW(parse(wide));
}

TEST(NestingLimit, BracketsInsideStringsAreText) {
  const std::string brackets(100000, '[');
  Value v = parse("{\"s\":\"" + brackets + "\",\"t\":\"\\\"[[[[\"}");
  EXPECT_EQ(v["s"], brackets);
  EXPECT_EQ(v["t"], "\"[[[[");
  // An escaped backslash ends its escape: the quote after it closes the string.
  EXPECT_THROW(parse("[\"\\\\\"," + nestedArrays(maxDepth) + "]"), DecodingError);
}

TEST(NestingLimit, AHostileMessageAtTheIncomingLimitIsRefused) {
  // 8 MiB of '[' (unterminated) and 4 Mi levels (well-formed) are what a broken or hostile
  // extension can put in one frame.
  EXPECT_THROW(parse(std::string(8u << 20, '[')), DecodingError);
  EXPECT_THROW(parse(nestedArrays(4u << 20)), DecodingError);
  EXPECT_THROW(parse("{\"type\":\"hello\",\"extra\":" + nestedArrays(maxDepth) + "}"),
               DecodingError);
}

}  // namespace
}  // namespace quillbeam::json
