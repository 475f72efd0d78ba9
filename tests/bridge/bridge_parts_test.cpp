// The bridge's launch decision, in process, against a scripted workspace; and its input
// backlog.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bridge/support/bridge_process.hpp"
#include "companion_launcher.hpp"
#include "input_backlog.hpp"
#include "message_handler.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::bridge {
namespace {

using platform::AppLocation;

struct ScriptedPlatform : platform::Workspace, platform::NotificationCenter {
  bool running = false;
  std::optional<AppLocation> installed =
      AppLocation{{AppLocation::Registered{"com.quillbeam.mac"}}};
  int runningChecks = 0, opens = 0;

  void isRunning(std::string_view id, std::function<void(bool)> answer) override {
    EXPECT_EQ(id, "com.quillbeam.mac");
    ++runningChecks;
    answer(running);
  }
  void locate(std::string_view, std::function<void(std::optional<AppLocation>)> answer) override {
    answer(installed);
  }
  void openInBackground(const AppLocation&,
                        std::function<void(std::optional<std::string>)>) override {
    ++opens;
  }
  void addObserver(std::string, std::function<void(const platform::Notification&)>) override {}
  void post(std::string_view, const std::optional<std::map<std::string, std::string>>&) override {}
  void flush() override {}
};

TEST(CompanionLaunch, OnlyASessionWithANewIdLaunchesAndOnlyWhenTheAppIsNotRunning) {
  const testing::ScratchDir home;
  const testing::ScopedEnv homeVariable("HOME", home.path());
  ProcessValues values;  // no output: replies go nowhere
  values.appBundleID = "com.quillbeam.mac";
  values.link = BrowserLink(true, 0);
  ScriptedPlatform scripted;
  CompanionLauncher launcher{values, scripted, std::nullopt};
  MessageHandler handler{values, scripted, launcher};
  // Session id (none: cleared), app running, app installed, opens so far.
  const std::tuple<const char*, bool, bool, int> steps[] = {
      {"a", false, true, 1},  // the first session after a fresh record
      {"a", false, true, 1},  // the same id again
      {nullptr, false, true, 1},
      {"a", false, true, 2},   // after a cleared session the same id is new again
      {"b", true, true, 2},    // a running app is not opened
      {"c", false, false, 2},  // nothing to open when nothing is found
  };
  for (size_t step = 0; step < std::size(steps); ++step) {
    const auto& [id, running, installed, opens] = steps[step];
    scripted.running = running;
    if (!installed) scripted.installed.reset();
    // Each step's goal differs: only the id counts.
    const auto goal = std::to_string(step);
    handler.handle(
        testing::stateJson(id ? std::optional(testing::sessionJson(id, goal)) : std::nullopt));
    EXPECT_EQ(scripted.opens, opens) << (id ? id : "cleared");
  }
  handler.handle(R"({"type":"hello"})");
  EXPECT_EQ(scripted.runningChecks, 4);
}

TEST(InputBacklog, ReaderWaitsOverTheLimitAndResumesOnceHalfIsLeft) {
  InputBacklog backlog(100);
  backlog.admit(60);
  backlog.admit(60);  // admitted below the limit, now over it
  std::atomic<bool> admitted{false};
  std::thread reader([&] {
    backlog.admit(1);
    admitted = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(admitted) << "the reader must wait while 120 bytes are queued";
  backlog.release(60);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(admitted) << "60 bytes are more than half the limit";
  backlog.release(20);
  reader.join();
  backlog.admit(8 * 1024 * 1024);  // larger than the limit, alone: passes
}

}  // namespace
}  // namespace quillbeam::bridge
