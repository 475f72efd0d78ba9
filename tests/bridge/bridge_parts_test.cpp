// The bridge's launch decision, in process, against a scripted workspace and notification
// centre; and its input backlog.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "bridge/support/bridge_process.hpp"
#include "companion_launcher.hpp"
#include "input_backlog.hpp"
#include "message_handler.hpp"
#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::bridge {
namespace {

namespace fs = std::filesystem;
using platform::AppLocation;

struct ScriptedPlatform : platform::Workspace, platform::NotificationCenter {
  bool running = false;
  std::optional<AppLocation> installed =
      AppLocation{{AppLocation::Registered{"com.quillbeam.mac"}}};
  int runningChecks = 0, opens = 0;
  std::vector<std::string> posted;

  bool isRunning(std::string_view id) override {
    EXPECT_EQ(id, "com.quillbeam.mac");
    return ++runningChecks, running;
  }
  std::optional<AppLocation> locate(std::string_view) override { return installed; }
  void openInBackground(const AppLocation&,
                        std::function<void(std::optional<std::string>)>) override {
    ++opens;
  }
  void addObserver(std::string, std::function<void(const platform::Notification&)>) override {}
  void post(std::string_view name,
            const std::optional<std::map<std::string, std::string>>& userInfo) override {
    EXPECT_FALSE(userInfo);
    posted.emplace_back(name);
  }
  void flush() override {}
};

class Parts : public ::testing::Test {
 protected:
  Parts() {
    ::setenv("HOME", root.c_str(), 1);
    values.appBundleID = "com.quillbeam.mac";
    values.link = BrowserLink(true, 0);
  }
  ~Parts() override { fs::remove_all(root); }
  void state(std::optional<std::string> id, const std::string& goal = "g") {
    handler.handle(
        testing::stateJson(id ? std::optional(testing::sessionJson(*id, goal)) : std::nullopt));
  }

  fs::path root = [] {
    std::string pattern = (fs::temp_directory_path() / "quillbeam-parts-XXXXXX").string();
    return fs::path(::mkdtemp(pattern.data()));
  }();
  ProcessValues values;  // no output: replies go nowhere
  ScriptedPlatform scripted;
  CompanionLauncher launcher{values, scripted, std::nullopt};
  MessageHandler handler{values, scripted, launcher};
};

TEST_F(Parts, OnlyASessionWithANewIdLaunchesAndOnlyWhenTheAppIsNotRunning) {
  state("a");
  EXPECT_EQ(scripted.opens, 1) << "first session after a fresh record";
  state("a", "other goal");
  EXPECT_EQ(scripted.opens, 1) << "same id, other fields";
  EXPECT_EQ(values.link.session->goal, "other goal");
  state(std::nullopt);
  EXPECT_EQ(values.link.session, std::nullopt);
  state("a");
  EXPECT_EQ(scripted.opens, 2) << "after a cleared session the same id is new again";
  scripted.running = true;
  state("b");
  EXPECT_EQ(scripted.opens, 2) << "a running app is not opened";
  scripted.running = false;
  scripted.installed.reset();
  state("c");
  EXPECT_EQ(scripted.opens, 2) << "nothing to open when nothing is found";
  handler.handle(R"({"type":"hello"})");
  EXPECT_EQ(scripted.runningChecks, 4);
  EXPECT_EQ(scripted.posted, std::vector<std::string>(7, "com.quillbeam.companion.browserState"));
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), values.link);
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
