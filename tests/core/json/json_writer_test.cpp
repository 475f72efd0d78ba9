#include "quillbeam/json/json_writer.hpp"

#include <gtest/gtest.h>

#include <random>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::json {
namespace {

std::string written(std::string_view text) {
  std::string out;
  Writer(out).value(text);
  return out;
}

TEST(JsonWriter, EscapesLikeTheJsonLibrary) {
  for (std::string text : {std::string("plain"), std::string("quote \" and \\ backslash"),
                           std::string("\b\f\n\r\t\x01\x1f\x7f"), std::string("é ✓ 𝄞"),
                           std::string("a\0b", 3), std::string("/slash/")}) {
    EXPECT_EQ(written(text), Value(text).dump()) << text;
  }
}

TEST(JsonWriter, RandomValidUtf8MatchesTheJsonLibrary) {
  std::mt19937 rng(7);
  const char32_t pool[] = {U'a', U'"', U'\\', U'\n', 0x01, 0x7f, 0xe9, 0x2713, 0x1d11e, 0xfffd};
  for (int round = 0; round < 2000; ++round) {
    std::u32string u;
    for (int i = std::uniform_int_distribution<int>(0, 12)(rng); i > 0; --i) {
      u.push_back(pool[std::uniform_int_distribution<size_t>(0, std::size(pool) - 1)(rng)]);
    }
    std::string s;
    for (char32_t c : u) {
      if (c < 0x80) {
        s.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (c >> 12)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        s.push_back(static_cast<char>(0xF0 | (c >> 18)));
        s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    ASSERT_EQ(written(s), Value(s).dump());
  }
}

TEST(JsonWriter, InvalidUtf8BecomesReplacementCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\xff", "\"a\xEF\xBF\xBD\""},
      {"\xc3", "\"\xEF\xBF\xBD\""},
      {"\xe2\x82"
       "A",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD"
       "A\""},
      {"\xed\xa0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"\xc0\xaf", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(written(in), out);
    EXPECT_NO_THROW(parse(written(in)));
  }
}

TEST(JsonWriter, CommasNestingAndAbsentOptionals) {
  std::string out;
  Writer w(out);
  w.beginObject();
  w.field("a", int64_t{-9223372036854775807 - 1});
  w.field("b", std::optional<int64_t>());
  w.field("c", std::vector<std::string>{"x", ""});
  w.key("d");
  w.beginArray();
  w.beginObject();
  w.endObject();
  w.null();
  w.value(true);
  w.endArray();
  w.field("e", std::optional<std::string>("y"));
  w.field("f", std::vector<std::string>{});
  w.endObject();
  EXPECT_EQ(out, R"({"a":-9223372036854775808,"c":["x",""],"d":[{},null,true],"e":"y","f":[]})");
}

}  // namespace
}  // namespace quillbeam::json
