// What a broken or hostile extension can put on the bridge's standard input: garbage,
// random bytes, cut-off frames, frames at the 8 MiB limit and floods of tiny frames. The
// bridge handles or skips each message and goes on; the stream ends with status 0.
#include <random>

#include "faults/fault_fixture.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

using namespace std::chrono_literals;
using HostileInput = BridgeFixture;
using NativeMessaging::frame;

const std::string undecodable = "quillbeam-bridge: ignoring undecodable message";

std::string randomBytes(std::mt19937& random, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(random() & 0xff);
  return s;
}

// Garbage, frames of exactly the 8 MiB limit, deep nesting and a flood of tiny frames:
// each is handled or skipped (the undecodable with one line each), in order.
TEST_F(HostileInput, GarbageHugeAndCountlessFramesAreHandledInOrder) {
  constexpr size_t limit = NativeMessaging::maxIncoming;
  std::mt19937 random(7);
  auto bridge = start();
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    // Random bytes, and random bytes behind an opening brace, which get further in.
    stream += frame((i % 2 ? "{\"type\":" : "") + randomBytes(random, random() % 300));
  }
  bridge->sendRaw(stream);
  std::string big = stateJson(sessionJson("eight-mebibytes"));
  big.resize(limit, ' ');  // valid, padded with whitespace
  bridge->send(big);
  bridge->send(std::string(limit, '['));
  bridge->send(std::string(limit / 2, '[') + std::string(limit / 2, ']'));
  // A million frames of an unknown type, in writes of 1 MiB.
  std::string block;
  for (int i = 0; i < 65536; ++i) block += frame(R"({"type":"x"})");
  for (int sent = 0; sent < 1'000'000; sent += 65536) bridge->sendRaw(block);
  bridge->send(R"({"type":"hello","extensionVersion":"after all"})");
  ASSERT_EQ(bridge->read(300s), helloReply);
  const auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(std::tuple(record->session->id, record->extensionVersion),
            std::tuple("eight-mebibytes", "after all"));
  end(*bridge);
  EXPECT_EQ(bridge->errorLines(), std::vector<std::string>(302, undecodable));
}

// The bridge may end on a broken header before it has taken all the bytes: whichever
// way that goes, what it handled stays and it ends cleanly.
TEST_F(HostileInput, ARandomByteStreamEndsTheBridgeCleanly) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    auto bridge = start();
    bridge->send(stateJson(sessionJson("before-noise")));
    bridge->sendRaw(randomBytes(random, 64 * 1024));
    end(*bridge);
    const auto record = link();
    ASSERT_TRUE(record && record->session) << "seed " << seed;
    EXPECT_EQ(record->session->id, "before-noise");
    EXPECT_FALSE(record->connected);
    for (const auto& line : bridge->errorLines()) {
      EXPECT_TRUE(line == undecodable || line.starts_with("quillbeam-bridge: broken stream: "))
          << line;
    }
  }
}

// A good frame, then a hello cut inside its header, right after it, inside the payload
// and one byte short, and the input closed.
TEST_F(HostileInput, ATruncatedFrameIsDroppedSilentlyAfterTheGoodOnes) {
  const std::string cut = frame(R"({"type":"hello","extensionVersion":"cut"})");
  for (size_t keep : {1, 3, 4, 5, 20, 44}) {
    ASSERT_LT(keep, cut.size());
    auto bridge = start();
    bridge->sendRaw(frame(stateJson(sessionJson("whole"))) + cut.substr(0, keep));
    end(*bridge);
    EXPECT_EQ(bridge->errorText(), "");
    EXPECT_EQ(bridge->read(100ms), std::nullopt) << "the cut hello was not answered";
    const auto record = link();
    ASSERT_TRUE(record && record->session);
    EXPECT_EQ(record->session->id, "whole");
    EXPECT_EQ(record->extensionVersion, std::nullopt) << keep;
    EXPECT_FALSE(record->connected);
  }
}

}  // namespace
}  // namespace quillbeam::testing
