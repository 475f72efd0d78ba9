#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "support/browser_run.hpp"

namespace quillbeam::testing {

// A real round trip per test: Chromium, the test extension, the bridge and a private bus.
class EndToEndTest : public ::testing::Test {
 protected:
  // Hang guards only; a healthy run takes a fraction of them.
  static constexpr std::chrono::seconds hostPatience{90};
  static constexpr std::chrono::seconds patience{30};

  // Starts the browser and waits for it to start the bridge. Skips the test when there
  // is no Chromium to run here, fails it when Chromium runs but never starts the host;
  // either way running() is false after it.
  void start(BrowserRun::Settings settings = {});
  bool running() const { return host > 0; }
  // Waits for the extension's report of the hello reply: the conversation is up.
  std::optional<BrowserLink> waitForConversation();

  void TearDown() override;

  std::unique_ptr<BrowserRun> run;
  pid_t host = -1;
};

}  // namespace quillbeam::testing
