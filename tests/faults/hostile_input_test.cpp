// What a broken or hostile extension can put on the bridge's standard input: garbage,
// cut-off frames, frames at the 8 MiB limit, byte-sized writes and floods of tiny frames.
// The bridge handles or skips each message and goes on; the stream ends with status 0.
#include <algorithm>
#include <random>

#include "faults/fault_fixture.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

using namespace std::chrono_literals;
using HostileInput = FaultFixture;

const std::string helloReply = R"({"type":"hello","protocol":1,"appVersion":"dev"})";
const std::string undecodable = "quillbeam-bridge: ignoring undecodable message";

std::string randomBytes(std::mt19937& random, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(random() & 0xff);
  return s;
}

size_t count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST_F(HostileInput, GarbagePayloadsAreSkippedOneLineEach) {
  std::mt19937 random(7);
  auto bridge = start();
  std::string stream;
  constexpr int frames = 300;
  for (int i = 0; i < frames; ++i) {
    // Random bytes, and random bytes behind an opening brace, which get further in.
    std::string payload = randomBytes(random, random() % 300);
    if (i % 2 == 1) payload = "{\"type\":" + payload;
    stream += NativeMessaging::frame(payload);
  }
  bridge->sendRaw(stream);
  bridge->send(R"({"type":"hello","extensionVersion":"after garbage"})");
  ASSERT_EQ(bridge->read(), helloReply);
  EXPECT_EQ(link()->extensionVersion, "after garbage");
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  const auto lines = bridge->errorLines();
  EXPECT_EQ(count(lines, undecodable), static_cast<size_t>(frames));
  EXPECT_EQ(lines.size(), static_cast<size_t>(frames)) << bridge->errorText();
}

TEST_F(HostileInput, ARandomByteStreamEndsTheBridgeCleanly) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    auto bridge = start();
    bridge->send(stateJson(sessionJson("before-noise")));
    bridge->sendRaw(randomBytes(random, 64 * 1024));
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(), 0) << "seed " << seed;
    auto record = link();
    ASSERT_TRUE(record && record->session) << "seed " << seed;
    EXPECT_EQ(record->session->id, "before-noise");
    EXPECT_FALSE(record->connected);
    for (const auto& line : bridge->errorLines()) {
      EXPECT_TRUE(line == undecodable || line.starts_with("quillbeam-bridge: broken stream: "))
          << line;
    }
  }
}

// A good frame, then a hello frame cut after `keep` of its bytes and the input closed.
class TruncatedFrame : public FaultFixture, public ::testing::WithParamInterface<size_t> {};

TEST_P(TruncatedFrame, IsDroppedSilentlyAfterTheGoodOnes) {
  const std::string cut = NativeMessaging::frame(R"({"type":"hello","extensionVersion":"cut"})");
  ASSERT_LT(GetParam(), cut.size());
  auto bridge = start();
  bridge->sendRaw(NativeMessaging::frame(stateJson(sessionJson("whole"))) +
                  cut.substr(0, GetParam()));
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorText(), "");
  EXPECT_EQ(bridge->read(100ms), std::nullopt) << "the cut hello was not answered";
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "whole");
  EXPECT_EQ(record->extensionVersion, std::nullopt);
  EXPECT_FALSE(record->connected);
}

// Inside the header, right after it, inside the payload, one byte short.
INSTANTIATE_TEST_SUITE_P(CutPoints, TruncatedFrame, ::testing::Values(1, 3, 4, 5, 20, 44));

TEST_F(HostileInput, FramesOfExactlyTheIncomingLimit) {
  constexpr size_t limit = NativeMessaging::maxIncoming;
  auto bridge = start();
  // A valid state message padded with trailing whitespace to exactly 8 MiB.
  std::string big = stateJson(sessionJson("eight-mebibytes"));
  big.resize(limit, ' ');
  bridge->send(big);
  // 8 MiB of '[' and 4 Mi levels of well-formed nesting: refused, never a crash.
  bridge->send(std::string(limit, '['));
  bridge->send(std::string(limit / 2, '[') + std::string(limit / 2, ']'));
  bridge->send(R"({"type":"hello"})");
  ASSERT_EQ(bridge->read(60s), helloReply);
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "eight-mebibytes");
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorLines(), std::vector<std::string>(2, undecodable));
}

TEST_F(HostileInput, OneByteWrites) {
  auto bridge = start();
  const std::string stream = NativeMessaging::frame(stateJson(sessionJson("byte-by-byte"))) +
                             NativeMessaging::frame(R"({"type":"hello","extensionVersion":"1b"})");
  for (char c : stream) bridge->sendRaw(std::string(1, c));
  ASSERT_EQ(bridge->read(), helloReply);
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "byte-by-byte");
  EXPECT_EQ(record->extensionVersion, "1b");
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorText(), "");
}

TEST_F(HostileInput, AMillionTinyFramesAreAllHandledInOrder) {
  constexpr int frames = 1'000'000;
  const std::string tiny = NativeMessaging::frame(R"({"type":"x"})");
  // Few, large writes: 65536 frames (1 MiB) each.
  std::string block;
  for (int i = 0; i < 65536; ++i) block += tiny;
  auto bridge = start();
  int sent = 0;
  for (; sent + 65536 <= frames; sent += 65536) bridge->sendRaw(block);
  bridge->sendRaw(block.substr(0, static_cast<size_t>(frames - sent) * tiny.size()));
  // Messages are handled in order, so the reply to this hello proves all came before it.
  bridge->send(R"({"type":"hello","extensionVersion":"after a million"})");
  ASSERT_EQ(bridge->read(300s), helloReply);
  EXPECT_EQ(link()->extensionVersion, "after a million");
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(60s), 0);
  EXPECT_EQ(bridge->errorText(), "") << "unknown types are dropped without a word";
}

}  // namespace
}  // namespace quillbeam::testing
