#include "quillbeam/json/json_writer.hpp"

#include <gtest/gtest.h>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/json/utf8.hpp"

namespace quillbeam::json {
namespace {

std::string written(std::string_view text) {
  std::string out;
  Writer(out).value(text);
  return out;
}

TEST(JsonWriter, EscapesLikeTheJsonLibraryAndReplacesInvalidUtf8) {
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
  w.value(false);
  w.endArray();
  w.field("e", std::optional<std::string>("y"));
  w.endObject();
  EXPECT_EQ(out, R"({"a":-9223372036854775808,"c":["x",""],"d":[{},null,true,false],"e":"y"})");
}

}  // namespace
}  // namespace quillbeam::json
