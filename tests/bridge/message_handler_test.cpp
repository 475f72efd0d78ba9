// The launch decision and persisting of the message handler, in process, with a scripted
// workspace and notification centre.
#include "message_handler.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "bridge/support/bridge_process.hpp"
#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::bridge {
namespace {

namespace fs = std::filesystem;

struct CountingCenter : platform::NotificationCenter {
  std::vector<std::string> posted;
  void addObserver(std::string, std::function<void(const platform::Notification&)>) override {}
  void post(std::string_view name,
            const std::optional<std::map<std::string, std::string>>& userInfo) override {
    EXPECT_FALSE(userInfo);
    posted.emplace_back(name);
  }
  void flush() override {}
};

struct CountingWorkspace : platform::Workspace {
  int opens = 0;
  void isRunning(std::string_view, std::function<void(bool)> answer) override { answer(false); }
  void locate(std::string_view id,
              std::function<void(std::optional<platform::AppLocation>)> answer) override {
    answer(platform::AppLocation{{platform::AppLocation::Registered{std::string(id)}}});
  }
  void openInBackground(const platform::AppLocation&,
                        std::function<void(std::optional<std::string>)>) override {
    ++opens;
  }
};

class Handler : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillbeam-handler-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home = pattern;
    if (const char* h = std::getenv("HOME")) oldHome = h;
    ::setenv("HOME", home.c_str(), 1);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    out = fds[0];
    values.appBundleID = "com.quillbeam.mac";
    values.appVersion = "dev";
    values.output = fds[1];
    values.link = BrowserLink(true, 0);
  }
  void TearDown() override {
    ::close(out);
    ::close(values.output);
    ::setenv("HOME", oldHome.c_str(), 1);
    fs::remove_all(home);
  }
  void state(std::optional<std::string> id, const std::string& goal = "g") {
    handler.handle(
        testing::stateJson(id ? std::optional(testing::sessionJson(*id, goal)) : std::nullopt));
  }

  fs::path home;
  std::string oldHome;
  int out = -1;
  ProcessValues values;
  CountingCenter center;
  CountingWorkspace workspace;
  CompanionLauncher launcher{values, workspace, std::nullopt};
  MessageHandler handler{values, center, launcher};
};

TEST_F(Handler, LaunchesOnlyForASessionWithANewId) {
  state("a");
  EXPECT_EQ(workspace.opens, 1) << "first session after a fresh record";
  state("a", "other goal");
  EXPECT_EQ(workspace.opens, 1) << "same id, other fields";
  EXPECT_EQ(values.link.session->goal, "other goal");
  state(std::nullopt);
  EXPECT_EQ(workspace.opens, 1) << "no session is never new";
  EXPECT_EQ(values.link.session, std::nullopt);
  state("a");
  EXPECT_EQ(workspace.opens, 2) << "after a cleared session the same id is new again";
  state("b");
  EXPECT_EQ(workspace.opens, 3);
  handler.handle(R"({"type":"hello"})");
  EXPECT_EQ(workspace.opens, 3) << "a hello never launches";
  EXPECT_EQ(center.posted.size(), 6u) << "every hello and state is persisted and announced";
}

TEST_F(Handler, PersistStampsThePidOnlyWhileConnected) {
  handler.handle(R"({"type":"hello","extensionVersion":"4"})");
  auto stored = SharedFiles::readLink(SharedFiles::browserLink());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->bridgePID, ::getpid());
  EXPECT_EQ(*stored, values.link);
  handler.endOfInput();
  stored = SharedFiles::readLink(SharedFiles::browserLink());
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->connected);
  EXPECT_EQ(stored->bridgePID, std::nullopt);
  EXPECT_EQ(center.posted, (std::vector<std::string>(2, "com.quillbeam.companion.browserState")));
}

TEST_F(Handler, UnknownTypesAreIgnoredEntirely) {
  const BrowserLink before = values.link;
  handler.handle(R"({"type":"status","session":5})");
  EXPECT_EQ(values.link, before);
  EXPECT_TRUE(center.posted.empty());
  EXPECT_FALSE(fs::exists(SharedFiles::browserLink()));
}

}  // namespace
}  // namespace quillbeam::bridge
