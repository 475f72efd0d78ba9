#include "end_to_end_fixture.hpp"

#include <iostream>

#include "support/test_extension.hpp"

namespace quillbeam::testing {

using Clock = std::chrono::steady_clock;

void EndToEndTest::start(BrowserRun::Settings settings) {
  run = std::make_unique<BrowserRun>(std::move(settings));
  const auto launched = Clock::now();
  std::optional<pid_t> started;
  try {
    run->startBrowser();
    started = run->waitForHost(hostPatience);
  } catch (const BrowserUnavailable& unavailable) {
    GTEST_SKIP() << unavailable.what();
  }
  if (!started) {
    ADD_FAILURE() << "Chromium runs but never started the host " << BrowserRun::bridgeExecutable()
                  << " (is the extension ID " << TestExtension::id
                  << " still the one of tests/e2e/extension's key?)\n"
                  << run->browserLogTail();
    return;
  }
  host = *started;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - launched).count();
  RecordProperty("launch_to_host_ms", static_cast<int>(ms));
  std::cout << "[ measured ] browser launch to host start: " << ms << " ms\n";
}

std::optional<BrowserLink> EndToEndTest::waitForConversation() {
  auto link = run->waitForSession(TestExtension::receiptID(1, "hello"), patience);
  if (!link) {
    ADD_FAILURE() << "the extension never reported the host's hello; the link file holds "
                  << (run->link() ? run->link()->encode() : std::string("nothing")) << "\n"
                  << run->bridgeDiagnostics();
    return link;
  }
  // The bridge subscribes to commands before its first signal leaves, so a companion that
  // has seen a signal knows its commands will be heard; before that they may be missed.
  if (!run->listener().waitForCount(1, patience)) {
    ADD_FAILURE() << "the bridge never signalled on the bus\n" << run->bridgeDiagnostics();
    return std::nullopt;
  }
  return link;
}

void EndToEndTest::TearDown() {
  if (HasFailure() && run) {
    std::cout << "bridge diagnostics:\n" << run->bridgeDiagnostics();
  }
  run.reset();
}

}  // namespace quillbeam::testing
