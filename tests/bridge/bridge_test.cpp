// The real bridge binary on pipes and a private session bus: messages, the link file,
// signals, framing and hostile input, relayed commands and launching the companion app.
#include <random>
#include <thread>

#include "bridge_fixture.hpp"
#include "quillbeam/session/date.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bridge = BridgeFixture;

const std::string undecodable = "quillbeam-bridge: ignoring undecodable message";

TEST_F(Bridge, ServesHelloAndStatesAndRecordsTheEndOfInput) {
  // A stored record, and temporaries of writers killed mid-persist: a clean end removes
  // the old ones.
  storeLink(R"({"connected":true,"lastSeen":5,"session":)" + sessionJson("old") +
            R"(,"bridgePID":999999})");
  const auto dir = linkPath().parent_path();
  for (const char* name : {".browser-link.json.Old123", ".browser-link.json.New456"}) {
    writeFile(dir / name, "{\"conn");
  }
  fs::last_write_time(dir / ".browser-link.json.Old123", fs::file_time_type::clock::now() - 1h);
  // Input already at its end, before the bus handshake completed: the signal still leaves.
  end(*start());
  EXPECT_EQ(linkIs(), "off old - -");
  EXPECT_EQ(readFile(linkPath()).find("null"), std::string::npos);
  EXPECT_EQ(temporaryLinkFiles(dir), Lines{".browser-link.json.New456"});

  auto bridge = start();
  // Unknown types are dropped without a word; undecodable ones are logged; none persists.
  for (const char* bad : {"this is not json", R"({"type":"Hello"})", R"({"type":"mystery"})",
                          R"({"type":"state","session":{"id":"missing fields"}})", ""}) {
    bridge->send(bad);
  }
  ASSERT_TRUE(hello(*bridge, "9.9.1"));
  EXPECT_EQ(linkIs(bridge.get()), "on old v9.9.1 self") << "the stored session is kept";
  EXPECT_NEAR(double(link()->lastSeen), double(Date::now().ms()), 60'000);
  for (int i = 0; i < 200; ++i) bridge->send(stateJson(sessionJson("s" + std::to_string(i)), i));
  bridge->send(stateJson(std::nullopt));
  ASSERT_TRUE(hello(*bridge));
  EXPECT_EQ(linkIs(bridge.get()), "on - v self") << "cleared; no version is the empty text";
  bridge->send(stateJson(sessionJson("last")));
  end(*bridge);
  EXPECT_EQ(linkIs(), "off last v -");
  EXPECT_EQ(bridge->errorLines(), Lines(3, undecodable)) << "no companion installed: no word";

  // One signal per persist: the first end, hello, 200 states, the cleared one, hello,
  // last, the end.
  ASSERT_TRUE(listener.waitForCount(206));
  const auto signals = listener.received();
  EXPECT_EQ(signals.size(), 206u);
  EXPECT_EQ(
      std::tie(signals[1].path, signals[1].interface, signals[1].member, signals[1].signature),
      std::tuple("/com/quillbeam/companion", "com.quillbeam.companion", "browserState", ""));
}

// After good frames: a header past the limit, in the same read or alone, ends the stream
// with one line; a frame cut short by the end of input is dropped without a word.
TEST_F(Bridge, ABrokenOrCutTailEndsTheStreamAfterTheFramesBeforeIt) {
  const std::string broken("\x01\x00\x80\x00", 4);
  const std::string cut = frame(R"({"type":"hello","extensionVersion":"cut"})");
  std::vector<std::pair<std::string, bool>> tails{{broken, false}, {broken, true}};  // alone
  for (size_t keep : {1, 3, 4, 5, 20, 44}) tails.emplace_back(cut.substr(0, keep), false);
  for (const auto& [tail, alone] : tails) {
    auto bridge = start();
    const std::string good = frame(stateJson(sessionJson("before"))) + frame(R"({"type":"hello"})");
    bridge->sendRaw(alone ? good : good + tail);
    EXPECT_EQ(bridge->read(), helloReply);
    if (alone) bridge->sendRaw(tail);  // in a read of its own
    end(*bridge);
    EXPECT_EQ(bridge->read(100ms), std::nullopt) << "nothing after the good frames is answered";
    EXPECT_EQ(linkIs(), "off before v -") << tail.size();
    EXPECT_EQ(
        bridge->errorLines(),
        tail == broken ? Lines{"quillbeam-bridge: broken stream: tooLarge(8388609)"} : Lines{});
  }
}

// Garbage, frames of exactly the 8 MiB limit, deep nesting and a flood of tiny frames:
// each is handled or skipped (the undecodable with one line each), in order.
TEST_F(Bridge, GarbageHugeAndCountlessFramesAreHandledInOrder) {
  constexpr size_t limit = NativeMessaging::maxIncoming;
  std::mt19937 random(7);
  auto bridge = start();
  std::string stream;
  for (int i = 0; i < 300; ++i) {
    // Random bytes, and random bytes behind an opening brace, which get further in.
    std::string bytes(random() % 300, '\0');
    for (auto& c : bytes) c = static_cast<char>(random() & 0xff);
    stream += frame((i % 2 ? "{\"type\":" : "") + bytes);
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
  EXPECT_EQ(linkIs(bridge.get()), "on eight-mebibytes vafter all self");
  end(*bridge);
  EXPECT_EQ(bridge->errorLines(), Lines(302, undecodable));
}

// A browser gone away and no bus: the bridge goes on with what it can still do. (Storage
// that stops writes is among the faults.)
TEST_F(Bridge, WhatCannotBeWrittenIsSkippedAndTheRestStillServed) {
  BridgeProcess closed({home, std::nullopt, {}, true, {}});
  closed.send(R"({"type":"hello"})");
  closed.send(stateJson(sessionJson("after-close")));
  end(closed);
  EXPECT_EQ(linkIs(), "off after-close v -");
  EXPECT_THAT(closed.errorLines(),
              ElementsAre(StartsWith("quillbeam-bridge: notifications are off")));
}

// Commands from the companion on the bus reach the extension byte for byte, from before
// its first message on, and write nothing; malformed, oversized and other-shaped ones are
// dropped.
TEST_F(Bridge, ValidCommandsArriveByteForByteAndInvalidOnesAreDropped) {
  storeLink(BrowserLink(false, 1).encode());
  auto bridge = start();
  // Emits a command; `relay` then reads what the bridge wrote next.
  const auto command = [&](const std::string& json) {
    listener.emit(CompanionNotification::command,
                  std::map<std::string, std::string>{{"json", json}});
  };
  const auto relay = [&](const std::string& json, std::chrono::milliseconds timeout = 10s) {
    command(json);
    return bridge->read(timeout);
  };
  // Nothing shows when the bridge's subscription is in place: retry until one gets through,
  // then skip the ones that came late up to a last one.
  std::optional<std::string> got;
  for (int attempt = 0; attempt < 50 && !got; ++attempt) {
    got = relay(R"({"type":"focus-course"})", 200ms);
  }
  EXPECT_EQ(got, R"({"type":"focus-course"})");
  for (got = relay(R"({"type":"open-quit"})"); got == R"({"type":"focus-course"})";) {
    got = bridge->read();
  }
  EXPECT_EQ(got, R"({"type":"open-quit"})");
  EXPECT_EQ(link(), BrowserLink(false, 1)) << "relaying writes nothing";
  for (const std::string c : {R"({ "type" : "focus-course", "unknown": {"kept": [1, 2.5]} })",
                              R"({"type":"app-blocked","app":"Steam","note":"é ✓"})",
                              R"({"type":"start","draft":{"goal":"Essay","anchors":["a.org"],)"
                              R"("mode":"goal","strictness":"gentle","milestones":["intro"]}})"}) {
    EXPECT_EQ(relay(c), c);
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
  // What goes out is limited to exactly one mebibyte.
  const std::string head = R"({"type":"open-quit","pad":")", tail = R"("})";
  const std::string fits = head + std::string(1048576 - head.size() - tail.size(), 'x') + tail;
  std::string over = fits;
  command(over.insert(head.size(), "x"));
  got = relay(fits);
  EXPECT_TRUE(got == fits) << "only the one that fits goes out: " << (got ? got->size() : 0);
  end(*bridge);
  const std::string malformed = "quillbeam-bridge: ignoring malformed command";
  EXPECT_EQ(bridge->errorLines(), (Lines{malformed, malformed, malformed,
                                         "quillbeam-bridge: dropping oversized message"}));
}

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
  EXPECT_EQ(bridge->errorLines(), Lines{});
}

// A bridge inside Quillbeam.app/Contents/MacOS, started through a symlink, opens the
// bundle's executable, detached; or says why it could not.
TEST_F(Bridge, ABundleAroundTheBridgeIsOpenedDetached) {
  const fs::path macos = home / "Apps/Quillbeam.app/Contents/MacOS", report = home / "report";
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
  fs::copy_file(QUILLBEAM_BRIDGE_PATH, macos / "quillbeam_bridge");
  fs::create_symlink(macos / "quillbeam_bridge", home / "bridge-link");
  const std::tuple<std::string, fs::perms, std::string> cases[] = {
      {"", fs::perms::none, "No such file or directory"},
      {"#!/bin/sh\n", fs::perms::owner_read, "Permission denied"},
      {"\177ELF-but-not-really", fs::perms::owner_all, "Exec format error"},
      {reportScript, fs::perms::owner_all, ""}};
  pid_t bridgePid = -1;
  for (const auto& [script, perms, error] : cases) {
    if (!script.empty()) writeFile(macos / "Quillbeam", script);
    if (!script.empty()) fs::permissions(macos / "Quillbeam", perms);
    BridgeProcess bridge({home, bus.address(), home / "bridge-link", false, {}});
    bridgePid = bridge.pid();
    bridge.send(stateJson(sessionJson("bundle " + error)));
    ASSERT_TRUE(eventually([&] { return fs::exists(report) || !bridge.errorLines().empty(); }));
    end(bridge);
    EXPECT_EQ(
        bridge.errorLines(),
        error.empty() ? Lines{} : Lines{"quillbeam-bridge: couldn't launch Quillbeam: " + error});
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
