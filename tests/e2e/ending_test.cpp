// How the bridge ends when the extension goes: its port closed, or the browser killed.
#include <gmock/gmock.h>

#include "end_to_end_fixture.hpp"
#include "support/exit_watcher.hpp"
#include "support/test_extension.hpp"

namespace quillbeam::testing {
namespace {

// The bridge ended on its own with status 0, and said so in the link file first.
void expectCleanEnd(ExitWatcher& watcher, BrowserRun& run, const BrowserLink& before,
                    std::chrono::milliseconds patience) {
  const auto end = watcher.wait(patience);
  ASSERT_TRUE(end) << "the bridge is still running\n" << run.bridgeDiagnostics();
  if (end->statusKnown) {
    EXPECT_EQ(end->signal, 0) << "the bridge was killed, not ended";
    EXPECT_EQ(end->exitCode, 0);
  } else {
    std::cout << "[   note   ] exit status not observable: " << watcher.traceProblem() << "\n";
  }

  const auto after = run.link();
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->connected);
  EXPECT_FALSE(after->bridgePID.has_value());
  EXPECT_GE(after->lastSeen, before.lastSeen);
  // What was known stays known.
  EXPECT_EQ(after->session, before.session);
  EXPECT_EQ(after->extensionVersion, before.extensionVersion);
}

TEST_F(EndToEndTest, TheExtensionClosingItsPortEndsTheBridge) {
  start({.disconnectOn = "open-quit"});
  if (!running()) return;
  const auto up = waitForConversation();
  ASSERT_TRUE(up);
  ExitWatcher watcher(host);

  run->emitCommand(R"({"type":"open-quit"})");

  expectCleanEnd(watcher, *run, *up, patience);
  EXPECT_FALSE(run->browser().exited()) << "the browser lives on";
  // The hello, the state and the end: three writes, three signals.
  EXPECT_TRUE(run->listener().waitForCount(3, patience));
  EXPECT_EQ(run->listener().received().size(), 3u);
}

TEST_F(EndToEndTest, KillingTheBrowserEndsTheBridge) {
  start();
  if (!running()) return;
  const auto up = waitForConversation();
  ASSERT_TRUE(up);
  ExitWatcher watcher(host);

  run->browser().killBrowser();

  expectCleanEnd(watcher, *run, *up, patience);
  EXPECT_TRUE(run->listener().waitForCount(3, patience));
}

}  // namespace
}  // namespace quillbeam::testing
