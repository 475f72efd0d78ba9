#include "quillbeam/wire/native_messaging.hpp"

#include <gtest/gtest.h>

#include <random>

namespace quillbeam::NativeMessaging {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(Frame, HeaderIsLittleEndianLength) {
  EXPECT_EQ(frame(""), bytes({0, 0, 0, 0}));
  EXPECT_EQ(frame("hello"), bytes({5, 0, 0, 0}) + "hello");
  std::string max(maxOutgoing, 'x');
  EXPECT_EQ(frame(max).substr(0, 4), bytes({0, 0, 0x10, 0}));
  EXPECT_EQ(frame(max).size(), max.size() + 4);
}

TEST(Frame, RefusesOneByteOverTheLimit) {
  try {
    frame(std::string(maxOutgoing + 1, 'x'));
    FAIL();
  } catch (const FramingError& e) {
    EXPECT_EQ(e.length(), 1048577);
    EXPECT_STREQ(e.what(), "tooLarge(1048577)");
  }
}

TEST(Decoder, PartialHeaderAndPayloadWait) {
  Decoder d;
  EXPECT_TRUE(d.append(bytes({5, 0, 0})).empty());
  EXPECT_TRUE(d.append(bytes({0}) + "he").empty());
  EXPECT_EQ(d.append("llo"), std::vector<ByteString>{"hello"});
  EXPECT_TRUE(d.buffer().empty());
}

TEST(Decoder, ManyFramesInOneChunkComeBackInOrder) {
  Decoder d;
  auto out = d.append(frame("a") + frame("") + frame("ccc") + bytes({9}));
  EXPECT_EQ(out, (std::vector<ByteString>{"a", "", "ccc"}));
  EXPECT_EQ(d.buffer(), bytes({9}));
  EXPECT_TRUE(d.append("").empty());
}

TEST(Decoder, LimitIsCheckedAsSoonAsTheHeaderIsComplete) {
  Decoder ok;
  EXPECT_TRUE(ok.append(bytes({0, 0, 0x80, 0})).empty());
  EXPECT_FALSE(ok.failure());

  Decoder over;
  EXPECT_THROW(over.append(bytes({1, 0, 0x80, 0})), FramingError);
  ASSERT_TRUE(over.failure());
  EXPECT_EQ(over.failure()->length(), 8388609);
  try {
    over.append("more");
    FAIL();
  } catch (const FramingError& e) {
    EXPECT_EQ(e, FramingError(8388609));
  }

  Decoder big;
  try {
    big.append(bytes({0, 0, 0, 1}));
    FAIL();
  } catch (const FramingError& e) {
    EXPECT_EQ(e.length(), 16777216);
  }
  Decoder huge;
  try {
    huge.append(bytes({0xff, 0xff, 0xff, 0xff}));
    FAIL();
  } catch (const FramingError& e) {
    EXPECT_EQ(e.length(), 4294967295);
  }
}

TEST(Decoder, FramesBeforeABadHeaderInTheSameChunkAreKept) {
  Decoder d;
  auto out = d.append(frame("one") + frame("two") + bytes({1, 0, 0x80, 0}) + "tail");
  EXPECT_EQ(out, (std::vector<ByteString>{"one", "two"}));
  ASSERT_TRUE(d.failure());
  EXPECT_EQ(d.failure()->length(), 8388609);
  EXPECT_EQ(d.buffer().substr(0, 4), bytes({1, 0, 0x80, 0}));
  EXPECT_THROW(d.append(frame("three")), FramingError);
}

TEST(Decoder, AnySplitOfAStreamGivesTheSameMessages) {
  std::mt19937 rng(20261206);
  std::vector<ByteString> messages;
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    ByteString m(std::uniform_int_distribution<int>(0, i % 50 == 0 ? 70000 : 300)(rng), '\0');
    for (auto& c : m) c = static_cast<char>(rng());
    stream += frame(m);
    messages.push_back(std::move(m));
  }
  for (int trial = 0; trial < 40; ++trial) {
    Decoder d;
    std::vector<ByteString> got;
    size_t pos = 0;
    while (pos < stream.size()) {
      size_t maxLen = trial % 4 == 0 ? 3 : 100000;
      size_t n = std::uniform_int_distribution<size_t>(0, maxLen)(rng);
      n = std::min(n, stream.size() - pos);
      d.appendTo(std::string_view(stream).substr(pos, n), got);
      pos += n;
    }
    ASSERT_EQ(got.size(), messages.size()) << "trial " << trial;
    EXPECT_TRUE(got == messages) << "trial " << trial;
    EXPECT_TRUE(d.buffer().empty());
  }
}

TEST(Decoder, ReturnedMessagesOwnTheirBytes) {
  Decoder d;
  auto first = d.append(frame("keep me") + bytes({3, 0}));
  d.append(bytes({0, 0}) + "xyz");
  EXPECT_EQ(first, std::vector<ByteString>{"keep me"});
}

}  // namespace
}  // namespace quillbeam::NativeMessaging
