// The conversation between a real Chromium running the test extension and the bridge:
// hello and reply, state reports, and the companion's commands.
#include <signal.h>

#include <gmock/gmock.h>

#include "end_to_end_fixture.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "support/test_extension.hpp"

namespace quillbeam::testing {
namespace {

using ::testing::HasSubstr;

// The bridge's version, as this build reports it.
constexpr char appVersion[] = QUILLBEAM_E2E_APP_VERSION;

void expectBrowserStateSignals(const std::vector<ReceivedSignal>& signals) {
  for (const auto& signal : signals) {
    EXPECT_EQ(signal.path, "/com/quillbeam/companion");
    EXPECT_EQ(signal.interface, "com.quillbeam.companion");
    EXPECT_EQ(signal.member, "browserState");
    EXPECT_EQ(signal.signature, "") << "the signal carries no data";
  }
}

TEST_F(EndToEndTest, HelloIsAnsweredAndTheStateReachesFileBusAndCompanion) {
  start();
  if (!running()) return;

  // The hello: the bridge records the extension and itself.
  const auto greeted = run->waitForLink(
      [](const BrowserLink& l) { return l.extensionVersion.has_value(); }, patience);
  ASSERT_TRUE(greeted) << run->bridgeDiagnostics();
  EXPECT_TRUE(greeted->connected);
  EXPECT_EQ(greeted->extensionVersion, TestExtension::version);
  EXPECT_EQ(greeted->bridgePID, host) << "bridgePID names the process the browser started";

  // The reply reached the extension, which sent it back inside a state report.
  const auto reported = waitForConversation();
  ASSERT_TRUE(reported);
  const SessionSnapshot& session = *reported->session;
  EXPECT_EQ(json::parse(session.goal),
            json::parse(std::string(R"({"type":"hello","protocol":1,"appVersion":")") + appVersion +
                        "\"}"));
  // Every field of the snapshot made it through browser, bridge and file.
  EXPECT_EQ(session, TestExtension::receiptSession(1, "hello", session.goal));
  EXPECT_TRUE(reported->connected);
  EXPECT_EQ(reported->extensionVersion, TestExtension::version);
  EXPECT_EQ(reported->bridgePID, host);
  EXPECT_GE(reported->lastSeen, greeted->lastSeen);

  // One browser-state signal per write: the hello and the state.
  ASSERT_TRUE(run->listener().waitForCount(2, patience));
  EXPECT_EQ(run->listener().received().size(), 2u);
  expectBrowserStateSignals(run->listener().received());

  // A session the bridge had not seen: the companion app was started by bus activation.
  std::optional<pid_t> companion;
  for (auto until = std::chrono::steady_clock::now() + patience;
       !companion && std::chrono::steady_clock::now() < until;) {
    companion = run->companionPid();
    if (!companion) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(companion) << "the companion was never launched\n" << run->bridgeDiagnostics();
  EXPECT_EQ(::kill(*companion, 0), 0) << "the companion runs";
  EXPECT_EQ(run->bridgeDiagnostics(), "") << "nothing went wrong on the way";
}

struct Command {
  const char* type;
  const char* json;
};

TEST_F(EndToEndTest, CompanionCommandsReachTheExtensionUnchanged) {
  start();
  if (!running()) return;
  ASSERT_TRUE(waitForConversation());

  const std::vector<Command> commands{
      {"start",
       R"({"type":"start","draft":{"goal":"Write the report","anchors":["docs.example.org",)"
       R"("https://notes.example.org/q?a=1&b=\u00e9"],"mode":"timer","strictness":"strict",)"
       R"("durationMin":45,"milestones":["outline","draft"]}})"},
      {"focus-course", R"({"type":"focus-course"})"},
      {"open-quit", R"({"type":"open-quit"})"},
      {"app-blocked", R"({"type":"app-blocked","app":"Steam","note":"extra keys travel too"})"},
      {"hello", R"({"type":"hello","protocol":1,"appVersion":"companion 3.0"})"},
  };
  // Refused by the bridge: they never reach the extension, so its count goes on unbroken.
  const std::vector<const char*> refused{R"({"type":"ping"})", R"({"type":"start"})", "not json"};

  int count = 1;
  for (const auto& command : commands) {
    SCOPED_TRACE(command.type);
    run->emitCommand(refused[static_cast<size_t>(count - 1) % refused.size()]);
    run->emitCommand(command.json);
    ++count;
    const auto link = run->waitForSession(TestExtension::receiptID(count, command.type), patience);
    ASSERT_TRUE(link) << "the extension did not report the command; the link file holds "
                      << (run->link() ? run->link()->encode() : "nothing") << "\n"
                      << run->bridgeDiagnostics();
    EXPECT_EQ(json::parse(link->session->goal), json::parse(command.json));
    EXPECT_TRUE(link->connected);
  }

  const std::string diagnostics = run->bridgeDiagnostics();
  size_t malformed = 0;
  for (size_t at = 0;
       (at = diagnostics.find("ignoring malformed command", at)) != std::string::npos; ++at) {
    ++malformed;
  }
  EXPECT_EQ(malformed, commands.size()) << diagnostics;
  // A state report for every message: one signal each, and one for the hello.
  ASSERT_TRUE(run->listener().waitForCount(commands.size() + 2, patience));
  expectBrowserStateSignals(run->listener().received());
}

}  // namespace
}  // namespace quillbeam::testing
