#include "quillbeam/wire/native_messaging.hpp"

#include <gtest/gtest.h>

#include <random>

namespace quillbeam::NativeMessaging {
namespace {

std::string bytes(std::initializer_list<int> values) {
  return std::string(values.begin(), values.end());
}

TEST(Frame, HeaderIsTheLittleEndianLengthUpToTheLimit) {
  EXPECT_EQ(frame("hello"), bytes({5, 0, 0, 0}) + "hello");
  EXPECT_EQ(frame(std::string(maxOutgoing, 'x')).substr(0, 4), bytes({0, 0, 0x10, 0}));
  EXPECT_THROW(frame(std::string(maxOutgoing + 1, 'x')), FramingError);
}

TEST(Decoder, SplitsAndJoinsFramesWhereverTheChunksEnd) {
  Decoder d;
  EXPECT_TRUE(d.append(bytes({5, 0, 0})).empty());
  EXPECT_TRUE(d.append(bytes({0}) + "he").empty());
  const auto first = d.append("llo" + frame("") + frame("ccc") + bytes({9}));
  EXPECT_EQ(first, (std::vector<ByteString>{"hello", "", "ccc"}));
  EXPECT_EQ(d.buffer(), bytes({9}));
  // With the 9 kept, the header reads 9 + 1 * 256.
  EXPECT_EQ(d.append(bytes({1, 0, 0}) + std::string(264, 'y')).size(), 0u);
  EXPECT_EQ(d.append("y"), std::vector<ByteString>{std::string(265, 'y')});

  std::mt19937 rng(20261206);
  std::string stream;
  std::vector<ByteString> messages;
  for (int i = 0; i < 100; ++i) {
    messages.emplace_back(std::uniform_int_distribution<int>(0, 300)(rng), char(i));
    stream += frame(messages.back());
  }
  std::vector<ByteString> got{"kept"};
  Decoder split;
  for (size_t pos = 0, n; pos < stream.size(); pos += n) {
    n = std::min(std::uniform_int_distribution<size_t>(0, 500)(rng), stream.size() - pos);
    split.appendTo(std::string_view(stream).substr(pos, n), got);
  }
  messages.insert(messages.begin(), "kept");
  EXPECT_TRUE(got == messages);
}

TEST(Decoder, AHeaderOverTheLimitBreaksTheStreamAfterTheFramesBeforeIt) {
  Decoder ok;
  EXPECT_TRUE(ok.append(bytes({0, 0, 0x80, 0})).empty());  // exactly the limit: waits
  EXPECT_FALSE(ok.failure());

  Decoder d;
  EXPECT_EQ(d.append(frame("one") + bytes({1, 0, 0x80, 0}) + "tail"),
            std::vector<ByteString>{"one"});
  ASSERT_TRUE(d.failure());
  EXPECT_EQ(d.failure()->length(), 8388609);
  EXPECT_THROW(d.append(frame("two")), FramingError);

  Decoder at_once;
  try {
    at_once.append(bytes({0xff, 0xff, 0xff, 0xff}));
    FAIL();
  } catch (const FramingError& e) {
    EXPECT_EQ(e.length(), 4294967295);
    EXPECT_STREQ(e.what(), "tooLarge(4294967295)");
  }
}

}  // namespace
}  // namespace quillbeam::NativeMessaging
