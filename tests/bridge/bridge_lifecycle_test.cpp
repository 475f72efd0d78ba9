// The real bridge binary on pipes: start-up, message handling, the link file, framing and
// the end of input.
#include <unistd.h>

#include <fstream>

#include "bridge_fixture.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

using namespace std::chrono_literals;
using Lifecycle = BridgeFixture;

const std::string helloReply = R"({"type":"hello","protocol":1,"appVersion":"dev"})";

TEST_F(Lifecycle, HelloIsAnsweredRecordedAndEndOfInputDisconnects) {
  auto bridge = start();
  bridge->send(R"({"type":"hello","protocol":7,"extensionVersion":"9.9.1"})");
  EXPECT_EQ(bridge->read(), helloReply);
  ASSERT_TRUE(listener->waitForCount(1));
  auto connected = link();
  ASSERT_TRUE(connected);
  EXPECT_TRUE(connected->connected);
  EXPECT_EQ(connected->extensionVersion, "9.9.1");
  EXPECT_EQ(connected->bridgePID, bridge->pid());
  EXPECT_NEAR(static_cast<double>(connected->lastSeen), static_cast<double>(Date::now().ms()),
              60'000);

  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  ASSERT_TRUE(listener->waitForCount(2));
  auto ended = link();
  ASSERT_TRUE(ended);
  EXPECT_FALSE(ended->connected);
  EXPECT_EQ(ended->bridgePID, std::nullopt);
  EXPECT_EQ(ended->extensionVersion, "9.9.1");
  EXPECT_EQ(bridge->errorText(), "");

  auto signals = listener->received();
  ASSERT_EQ(signals.size(), 2u);
  EXPECT_EQ(signals[0].path, "/com/quillbeam/companion");
  EXPECT_EQ(signals[0].interface, "com.quillbeam.companion");
  EXPECT_EQ(signals[0].member, "browserState");
  EXPECT_EQ(signals[0].signature, "");
}

// What a bridge killed in the middle of a persist left is cleared by the next clean end,
// once old enough that no live writer can own it.
TEST_F(Lifecycle, EndOfInputRemovesOldTemporaryFilesOnly) {
  const auto dir = linkPath().parent_path();
  std::filesystem::create_directories(dir);
  std::ofstream(dir / ".browser-link.json.Old123") << "{\"conn";
  std::ofstream(dir / ".browser-link.json.New456") << "{\"conn";
  std::filesystem::last_write_time(dir / ".browser-link.json.Old123",
                                   std::filesystem::file_time_type::clock::now() - 1h);
  auto bridge = start();
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / ".browser-link.json.Old123"));
  EXPECT_TRUE(std::filesystem::exists(dir / ".browser-link.json.New456"));
  EXPECT_TRUE(link().has_value());
}

TEST_F(Lifecycle, InputAlreadyAtEndWritesADisconnectedRecordOnce) {
  auto o = options();
  o.extraArgs = {"chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/", "--parent-window=0"};
  BridgeProcess bridge(o);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  ASSERT_TRUE(listener->waitForCount(1));
  auto record = link();
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->connected);
  EXPECT_EQ(record->extensionVersion, std::nullopt);
  EXPECT_EQ(record->session, std::nullopt);
  EXPECT_EQ(record->bridgePID, std::nullopt);
  EXPECT_EQ(linkText().find("null"), std::string::npos);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(stateSignals(), 1u);
}

TEST_F(Lifecycle, StoredRecordIsKeptUntilTheFirstPersist) {
  const std::string stored = R"({"connected":false,"lastSeen":5,"session":)" + sessionJson("old") +
                             R"(,"bridgePID":999999})";
  std::filesystem::create_directories(linkPath().parent_path());
  std::ofstream(linkPath()) << stored;
  auto bridge = start();
  // A relayed command proves the bridge is up and serving without having written.
  bridge->send(R"({"type":"mystery"})");
  bridge->send(R"({"type":"hello"})");
  ASSERT_EQ(bridge->read(), helloReply);
  auto after = link();
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->connected);
  ASSERT_TRUE(after->session);
  EXPECT_EQ(after->session->id, "old") << "the stored session survives start-up";
  EXPECT_EQ(after->extensionVersion, "") << "a hello without a version records the empty text";
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
}

TEST_F(Lifecycle, StateMessagesReplaceTheSessionInOrder) {
  auto bridge = start();
  for (int i = 0; i < 1000; ++i) {
    bridge->send(stateJson(sessionJson("s" + std::to_string(i)), i));
  }
  bridge->send(stateJson(std::nullopt));
  bridge->send(R"({"type":"hello"})");
  ASSERT_EQ(bridge->read(), helloReply);
  EXPECT_EQ(link()->session, std::nullopt) << "a state without a session clears it";
  bridge->send(stateJson(sessionJson("last")));
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "last");
  EXPECT_FALSE(record->connected);
  ASSERT_TRUE(listener->waitForCount(1004));
}

TEST_F(Lifecycle, UndecodableAndUnknownMessagesChangeNothing) {
  auto bridge = start();
  bridge->send(R"({"type":"hello","extensionVersion":"1"})");
  ASSERT_TRUE(bridge->read());
  const std::string before = linkText();
  bridge->send("this is not json");
  bridge->send(R"({"type":"Hello"})");
  bridge->send(R"({"type":"state","session":{"id":"missing fields"}})");
  bridge->send("");
  // The two hellos after these answer in order, so the bad ones were handled by then.
  bridge->send(R"({"type":"hello","extensionVersion":"2"})");
  ASSERT_EQ(bridge->read(), helloReply);
  EXPECT_NE(linkText(), before);
  EXPECT_EQ(link()->extensionVersion, "2");
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  std::vector<std::string> undecodable(3, "quillbeam-bridge: ignoring undecodable message");
  EXPECT_EQ(bridge->errorLines(), undecodable);
}

TEST_F(Lifecycle, FramesSplitOverManyWritesAndManyInOneWrite) {
  auto bridge = start();
  const std::string hello = NativeMessaging::frame(R"({"type":"hello","extensionVersion":"x"})");
  for (char c : hello) {
    bridge->sendRaw(std::string(1, c));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(bridge->read(), helloReply);
  std::string batch;
  for (int i = 0; i < 50; ++i) batch += hello;
  bridge->sendRaw(batch);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(bridge->read(), helloReply) << i;
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
}

TEST_F(Lifecycle, FramingErrorAfterGoodFramesHandlesThemAndEndsOnce) {
  auto bridge = start();
  std::string chunk = NativeMessaging::frame(stateJson(sessionJson("before-error")));
  chunk += NativeMessaging::frame(R"({"type":"hello"})");
  chunk += std::string("\x01\x00\x80\x00", 4);
  bridge->sendRaw(chunk);
  EXPECT_EQ(bridge->read(), helloReply);
  EXPECT_EQ(bridge->wait(), 0);
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "before-error");
  EXPECT_FALSE(record->connected);
  EXPECT_EQ(bridge->errorLines(),
            std::vector<std::string>{"quillbeam-bridge: broken stream: tooLarge(8388609)"});
}

TEST_F(Lifecycle, InputEndingMidFrameIsDroppedSilently) {
  auto bridge = start();
  bridge->sendRaw(std::string("\x10\x00\x00\x00{\"type\"", 11));
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  EXPECT_EQ(bridge->errorText(), "");
  ASSERT_TRUE(link());
  EXPECT_FALSE(link()->connected);
}

TEST_F(Lifecycle, ClosedOutputDoesNotKillTheBridge) {
  auto o = options();
  o.closeOutput = true;
  BridgeProcess bridge(o);
  bridge.send(R"({"type":"hello"})");
  bridge.send(stateJson(sessionJson("after-close")));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(record->session->id, "after-close");
  EXPECT_FALSE(record->connected);
}

TEST_F(Lifecycle, UnwritableSharedDirectoryStillRepliesAndSignals) {
  // A file where the directory should be: creating it fails even for root.
  std::ofstream(home / "Library") << "in the way";
  auto bridge = start();
  bridge->send(R"({"type":"hello"})");
  EXPECT_EQ(bridge->read(), helloReply);
  ASSERT_TRUE(listener->waitForCount(1));
  std::filesystem::remove(home / "Library");
  bridge->send(R"({"type":"hello","extensionVersion":"again"})");
  EXPECT_EQ(bridge->read(), helloReply);
  ASSERT_TRUE(link()) << "the next persist writes the current values";
  EXPECT_EQ(link()->extensionVersion, "again");
  bridge->closeInput();
  EXPECT_EQ(bridge->wait(), 0);
  auto lines = bridge->errorLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("quillbeam-bridge: couldn't write browser link: ")) << lines[0];
  EXPECT_NE(lines[0].find("Not a directory"), std::string::npos) << lines[0];
}

TEST_F(Lifecycle, WithoutABusTheBridgeStillServesTheExtension) {
  auto o = options();
  o.busAddress.reset();
  BridgeProcess bridge(o);
  bridge.send(R"({"type":"hello","extensionVersion":"nobus"})");
  EXPECT_EQ(bridge.read(), helloReply);
  EXPECT_EQ(link()->extensionVersion, "nobus");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_FALSE(link()->connected);
  auto lines = bridge.errorLines();
  ASSERT_EQ(lines.size(), 1u) << bridge.errorText();
  EXPECT_TRUE(lines[0].starts_with("quillbeam-bridge: notifications are off")) << lines[0];
}

}  // namespace
}  // namespace quillbeam::testing
