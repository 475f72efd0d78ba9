// The real bridge binary on pipes and a private session bus: messages, the link file,
// signals, framing, relayed commands and launching the companion app.
#include "bridge_fixture.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bridge = BridgeFixture;
using NativeMessaging::frame;
using Lines = std::vector<std::string>;

TEST_F(Bridge, ServesHelloAndStatesAndRecordsTheEndOfInput) {
  // Temporaries of writers killed mid-persist: the next clean end removes the old ones.
  const auto old = linkPath().parent_path() / ".browser-link.json.Old123";
  const auto young = linkPath().parent_path() / ".browser-link.json.New456";
  storeLink("{\"conn");
  fs::copy_file(linkPath(), old);
  fs::rename(linkPath(), young);
  fs::last_write_time(old, fs::file_time_type::clock::now() - 1h);
  auto bridge = start();
  ASSERT_TRUE(hello(*bridge, "9.9.1"));
  auto record = link();
  ASSERT_TRUE(record);
  EXPECT_NEAR(double(record->lastSeen), double(Date::now().ms()), 60'000);
  EXPECT_EQ(*record, BrowserLink(true, record->lastSeen, "9.9.1", std::nullopt, bridge->pid()));

  for (int i = 0; i < 200; ++i) bridge->send(stateJson(sessionJson("s" + std::to_string(i)), i));
  bridge->send(stateJson(std::nullopt));
  ASSERT_TRUE(hello(*bridge));
  EXPECT_EQ(link()->session, std::nullopt) << "a state without a session clears it";
  EXPECT_EQ(link()->extensionVersion, "") << "a hello without a version records the empty text";
  bridge->send(stateJson(sessionJson("last")));
  end(*bridge);
  record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(std::tuple(record->connected, record->bridgePID, record->session->id),
            std::tuple(false, std::nullopt, "last"));
  EXPECT_EQ(bridge->errorText(), "") << "no companion installed: nothing to say";
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(young));

  // One signal per persist: hello, 200 states, the cleared one, hello, last, the end.
  ASSERT_TRUE(listener.waitForCount(205));
  const auto signals = listener.received();
  EXPECT_EQ(signals.size(), 205u);
  EXPECT_EQ(
      std::tie(signals[0].path, signals[0].interface, signals[0].member, signals[0].signature),
      std::tuple("/com/quillbeam/companion", "com.quillbeam.companion", "browserState", ""));
}

// The bridge ends at once, before its bus handshake completed: the signal still leaves.
TEST_F(Bridge, InputAlreadyAtEndWritesADisconnectedRecordOnce) {
  auto o = options();
  o.extraArgs = {"chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/", "--parent-window=0"};
  BridgeProcess bridge(o);
  end(bridge);
  ASSERT_TRUE(listener.waitForCount(1));
  const auto record = link();
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, BrowserLink(false, record->lastSeen));
  EXPECT_EQ(linkText().find("null"), std::string::npos);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(listener.received().size(), 1u);
}

TEST_F(Bridge, StoredRecordIsKeptUntilTheFirstPersistAndBadMessagesChangeNothing) {
  storeLink(R"({"connected":false,"lastSeen":5,"session":)" + sessionJson("old") +
            R"(,"bridgePID":999999})");
  auto bridge = start();
  // Unknown types are dropped without a word; undecodable ones are logged.
  for (const char* bad : {"this is not json", R"({"type":"Hello"})", R"({"type":"mystery"})",
                          R"({"type":"state","session":{"id":"missing fields"}})", ""}) {
    bridge->send(bad);
  }
  ASSERT_TRUE(hello(*bridge, "2"));
  const auto record = link();
  ASSERT_TRUE(record && record->session);
  EXPECT_EQ(std::tuple(record->session->id, record->bridgePID, record->extensionVersion),
            std::tuple("old", bridge->pid(), "2"));
  end(*bridge);
  ASSERT_TRUE(listener.waitForCount(2));
  EXPECT_EQ(listener.received().size(), 2u) << "only the hello and the end were persisted";
  EXPECT_EQ(bridge->errorLines(), Lines(3, "quillbeam-bridge: ignoring undecodable message"));
}

TEST_F(Bridge, FramesSplitOverManyWritesAndManyInOneWrite) {
  auto bridge = start();
  const std::string hello = frame(R"({"type":"hello","extensionVersion":"x"})");
  for (char c : hello) {
    bridge->sendRaw(std::string(1, c));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(bridge->read(), helloReply);
  std::string batch;
  for (int i = 0; i < 50; ++i) batch += hello;
  bridge->sendRaw(batch);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(bridge->read(), helloReply) << i;
  end(*bridge);
  EXPECT_EQ(bridge->errorText(), "");
}

// A header past the limit ends the stream, whether frames came before it in the same read
// or it arrives alone; the frames before it are handled.
TEST_F(Bridge, ABrokenHeaderEndsTheStreamOnceAfterTheFramesBeforeIt) {
  for (bool alone : {false, true}) {
    auto bridge = start();
    const std::string good =
        frame(stateJson(sessionJson("before-error"))) + frame(R"({"type":"hello"})");
    const std::string broken("\x01\x00\x80\x00", 4);
    bridge->sendRaw(alone ? good : good + broken);
    EXPECT_EQ(bridge->read(), helloReply);
    if (alone) bridge->sendRaw(broken);  // in a read of its own
    EXPECT_EQ(bridge->wait(), 0);
    ASSERT_TRUE(link() && link()->session);
    EXPECT_EQ(std::tuple(link()->session->id, link()->connected),
              std::tuple("before-error", false));
    EXPECT_EQ(bridge->errorLines(), Lines{"quillbeam-bridge: broken stream: tooLarge(8388609)"});
  }
}

// A browser gone away, no bus, a file where the shared directory goes: the bridge goes
// on with what it can still do.
TEST_F(Bridge, WhatCannotBeWrittenIsSkippedAndTheRestStillServed) {
  auto o = options();
  o.closeOutput = true;
  o.busAddress.reset();
  BridgeProcess closed(o);
  closed.send(R"({"type":"hello"})");
  closed.send(stateJson(sessionJson("after-close")));
  end(closed);
  ASSERT_TRUE(link() && link()->session);
  EXPECT_EQ(std::tuple(link()->session->id, link()->connected), std::tuple("after-close", false));
  ASSERT_EQ(closed.errorLines().size(), 1u) << closed.errorText();
  EXPECT_TRUE(closed.errorLines()[0].starts_with("quillbeam-bridge: notifications are off"));

  fs::remove_all(home / "Library");
  std::ofstream(home / "Library") << "in the way";  // stops root as well
  auto bridge = start();
  ASSERT_TRUE(hello(*bridge));
  ASSERT_TRUE(listener.waitForCount(1));
  fs::remove(home / "Library");
  ASSERT_TRUE(hello(*bridge, "again"));
  ASSERT_TRUE(link()) << "the next persist writes the current values";
  EXPECT_EQ(link()->extensionVersion, "again");
  end(*bridge);
  ASSERT_EQ(bridge->errorLines().size(), 1u) << bridge->errorText();
  EXPECT_THAT(bridge->errorLines()[0],
              AllOf(StartsWith("quillbeam-bridge: couldn't write browser link: "),
                    HasSubstr("Not a directory")));
}

// --- Companion commands on the bus -----------------------------------------------------

class Relay : public BridgeFixture {
 protected:
  // The bus handles a connection's requests in order: once the bridge's first signal is
  // seen, the command match it asked for earlier is in force.
  void SetUp() override {
    bridge->send(stateJson(std::nullopt));
    ASSERT_TRUE(listener.waitForCount(1));
  }
  void command(const std::string& json) {
    listener.emit(CompanionNotification::command,
                  std::map<std::string, std::string>{{"json", json}});
  }
  std::unique_ptr<BridgeProcess> bridge = start();
};

TEST_F(Relay, ValidCommandsArriveByteForByteAndInvalidOnesAreDropped) {
  for (const std::string c : {R"({ "type" : "focus-course", "unknown": {"kept": [1, 2.5]} })",
                              R"({"type":"app-blocked","app":"Steam","note":"é ✓"})",
                              R"({"type":"start","draft":{"goal":"Essay","anchors":["a.org"],)"
                              R"("mode":"goal","strictness":"gentle","milestones":["intro"]}})"}) {
    command(c);
    EXPECT_EQ(bridge->read(), c);
  }
  for (const char* malformed : {R"({"type":"ping"})", R"({"type":"start"})", "not json"}) {
    command(malformed);
  }
  // Not text under "json", other keys only, or another body shape: ignored silently.
  const auto route = SignalRoute::of(CompanionNotification::command);
  listener.emitRaw(route,
                   [](auto* m) { return sd_bus_message_append(m, "a{sv}", 1, "json", "i", 4); });
  listener.emit(CompanionNotification::command, std::map<std::string, std::string>{{"x", "{}"}});
  listener.emit(CompanionNotification::command, std::nullopt);
  listener.emitRaw(route, [](auto* m) { return sd_bus_message_append(m, "s", "{}"); });
  command(R"({"type":"open-quit"})");
  EXPECT_EQ(bridge->read(), R"({"type":"open-quit"})") << "only the last command goes out";
  end(*bridge);
  EXPECT_EQ(bridge->errorLines(), Lines(3, "quillbeam-bridge: ignoring malformed command"));
}

TEST_F(Relay, OutgoingLimitIsExactlyOneMebibyte) {
  const std::string head = R"({"type":"open-quit","pad":")", tail = R"("})";
  const std::string fits = head + std::string(1048576 - head.size() - tail.size(), 'x') + tail;
  std::string over = fits;
  command(over.insert(head.size(), "x"));
  command(fits);
  const auto got = bridge->read();
  EXPECT_TRUE(got == fits) << (got ? got->size() : 0);
  end(*bridge);
  EXPECT_EQ(bridge->errorLines(), Lines{"quillbeam-bridge: dropping oversized message"});
}

TEST_F(Bridge, CommandsFlowBeforeTheFirstMessageAndWriteNothing) {
  storeLink(BrowserLink(false, 1).encode());
  auto bridge = start();
  std::optional<std::string> got;
  // Nothing shows when the subscription is in place: retry until one gets through.
  for (int attempt = 0; attempt < 50 && !got; ++attempt) {
    listener.emit(CompanionNotification::command,
                  std::map<std::string, std::string>{{"json", R"({"type":"focus-course"})"}});
    got = bridge->read(200ms);
  }
  EXPECT_EQ(got, R"({"type":"focus-course"})");
  EXPECT_EQ(link(), BrowserLink(false, 1)) << "relaying writes nothing";
  end(*bridge);
}

// --- Launching the companion app -------------------------------------------------------

TEST_F(Bridge, ANewSessionActivatesTheCompanionButTheStoredOneDoesNot) {
  const auto marker = bus.scratchDir() / "companion-started";
  bus.writeService("com.quillbeam.mac", std::string(QUILLBEAM_TEST_BUS_NAME_OWNER) +
                                            " com.quillbeam.mac " + marker.string());
  storeLink(R"({"connected":true,"lastSeen":1,"session":)" + sessionJson("kept") + "}");
  auto bridge = start();
  bridge->send(stateJson(sessionJson("kept", "changed goal")));
  ASSERT_TRUE(hello(*bridge));
  // An activation would have been asked for by now; give the bus time to act on it.
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(link()->session->goal, "changed goal");
  bridge->send(stateJson(sessionJson("another")));
  EXPECT_TRUE(eventually([&] { return fs::exists(marker); }));
  end(*bridge);
  EXPECT_EQ(bridge->errorText(), "");
}

// A bridge inside Quillbeam.app/Contents/MacOS, started through a symlink, opens the
// bundle's executable, detached; or says why it could not.
TEST_F(Bridge, ABundleAroundTheBridgeIsOpenedDetached) {
  const fs::path macos = home / "Apps" / "Quillbeam.app" / "Contents" / "MacOS";
  const fs::path report = home / "app-report";
  // $$ is the app's shell even inside $(...), so what is read is the app's own.
  const std::string reportScript =
      "#!/bin/sh\nset -- $(sed 's/.*) //' /proc/$$/stat)\n"
      "mask=$(sed -n 's/SigIgn:\\t*//p' /proc/$$/status)\n"
      "info=\"ppid=$2\nsid=$([ \"$4\" = $$ ] && echo self)\ncwd=$(readlink /proc/$$/cwd)\n"
      "pipe=$([ $(( 0x$mask & 0x1000 )) = 0 ] && echo default)\n"
      "$(for fd in 0 1 2; do echo \"fd$fd=$(readlink /proc/$$/fd/$fd)\"; done)\"\n"
      "echo \"$info\" > '" +
      report.string() + ".tmp'\nmv '" + report.string() + ".tmp' '" + report.string() + "'\n";
  fs::create_directories(macos);
  fs::copy_file(BridgeProcess::builtBridge(), macos / "quillbeam_bridge");
  fs::create_symlink(macos / "quillbeam_bridge", home / "bridge-link");
  const std::tuple<std::string, fs::perms, std::string> cases[] = {
      {"", fs::perms::none, "No such file or directory"},
      {"#!/bin/sh\n", fs::perms::owner_read, "Permission denied"},
      {"\x7f"
       "ELF-but-not-really",
       fs::perms::owner_all, "Exec format error"},
      {reportScript, fs::perms::owner_all, ""}};
  auto o = options();
  o.executable = home / "bridge-link";
  pid_t bridgePid = -1;
  for (const auto& [script, perms, error] : cases) {
    if (!script.empty()) std::ofstream(macos / "Quillbeam") << script;
    if (!script.empty()) fs::permissions(macos / "Quillbeam", perms);
    BridgeProcess bridge(o);
    bridgePid = bridge.pid();
    bridge.send(stateJson(sessionJson("bundle " + error)));
    ASSERT_TRUE(eventually([&] { return fs::exists(report) || !bridge.errorLines().empty(); }));
    end(bridge);
    EXPECT_EQ(bridge.errorText(),
              error.empty() ? "" : "quillbeam-bridge: couldn't launch Quillbeam: " + error + "\n");
  }
  // Not our child, in a session of its own, at /, SIGPIPE back to default, no stream of ours.
  const std::string text = readFile(report);
  EXPECT_EQ(text.find("ppid=" + std::to_string(bridgePid) + "\n"), std::string::npos);
  for (const char* line : {"sid=self\n", "cwd=/\n", "pipe=default\n",
                           "fd0=/dev/null\nfd1=/dev/null\nfd2=/dev/null\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
  }
}

}  // namespace
}  // namespace quillbeam::testing
