#include "platform/linux/bus_workspace.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "loop_driver.hpp"
#include "platform/linux/linux_platform.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::bridge::platform {
namespace {

namespace fs = std::filesystem;
using quillbeam::testing::BusListener;
using quillbeam::testing::PrivateBus;
using ::testing::HasSubstr;
using testing::LogLines;
using ::testing::Optional;
using testing::runUntil;

constexpr const char* kApp = "com.quillbeam.test.App";

AppLocation registered(std::string name) {
  return AppLocation{AppLocation::Registered{std::move(name)}};
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitForFile(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The workspace's answers, waited for on the loop.
bool ask(LinuxPlatform& platform, std::string_view id) {
  std::optional<bool> answer;
  platform.workspace().isRunning(id, [&](bool running) { answer = running; });
  EXPECT_TRUE(runUntil(platform.eventLoop(), [&] { return answer.has_value(); }));
  return answer.value_or(false);
}
std::optional<AppLocation> find(LinuxPlatform& platform, std::string_view id) {
  std::optional<std::optional<AppLocation>> answer;
  platform.workspace().locate(id, [&](std::optional<AppLocation> app) { answer = app; });
  EXPECT_TRUE(runUntil(platform.eventLoop(), [&] { return answer.has_value(); }));
  return answer.value_or(std::nullopt);
}

class WorkspaceOnABus : public ::testing::Test {
 protected:
  void TearDown() override {
    platform.reset();
    EXPECT_THAT(log.lines(), ::testing::IsEmpty());
  }

  bool running(std::string_view id) { return ask(*platform, id); }
  std::optional<AppLocation> located(std::string_view id) { return find(*platform, id); }

  // Opens `app` and turns the loop until its completion has run.
  std::optional<std::string> open(const AppLocation& app) {
    std::optional<std::optional<std::string>> outcome;
    std::mutex lock;
    platform->workspace().openInBackground(app, [&](std::optional<std::string> error) {
      std::lock_guard guard(lock);
      outcome = std::move(error);
    });
    const bool done = runUntil(platform->eventLoop(), [&] {
      std::lock_guard guard(lock);
      return outcome.has_value();
    });
    EXPECT_TRUE(done) << "no completion";
    std::lock_guard guard(lock);
    return outcome.value_or(std::string("no completion"));
  }

  PrivateBus bus;
  LogLines log;
  std::unique_ptr<LinuxPlatform> platform =
      std::make_unique<LinuxPlatform>(log.sink(), bus.address());
};

TEST_F(WorkspaceOnABus, AppRunsExactlyWhileItsBundleIdentifierIsAnOwnedName) {
  EXPECT_FALSE(running(kApp));
  BusListener app(bus.address());
  app.requestName(kApp);
  EXPECT_TRUE(running(kApp));
  EXPECT_FALSE(running("com.quillbeam.test.app"));  // case-sensitive
  EXPECT_FALSE(running("com.quillbeam.test"));
  EXPECT_FALSE(running("not a bus name"));
  app.releaseName(kApp);
  EXPECT_FALSE(running(kApp));
}

TEST_F(WorkspaceOnABus, ActivationStartsTheInstalledAppWhichThenRuns) {
  EXPECT_EQ(located(kApp), std::nullopt);
  const auto marker = bus.scratchDir() / "started";
  bus.writeService(kApp,
                   std::string(QUILLBEAM_TEST_BUS_NAME_OWNER) + " " + kApp + " " + marker.native());
  EXPECT_EQ(located(kApp), registered(kApp));
  EXPECT_EQ(located("com.quillbeam.test.Other"), std::nullopt);

  EXPECT_EQ(open(registered(kApp)), std::nullopt);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_TRUE(running(kApp));
  // Already running: activation succeeds without starting a second one.
  fs::remove(marker);
  EXPECT_EQ(open(registered(kApp)), std::nullopt);
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(WorkspaceOnABus, OpeningANameNoServiceProvidesReportsTheBusError) {
  EXPECT_THAT(open(registered("com.quillbeam.test.Missing")),
              Optional(HasSubstr("was not provided by any .service files")));
}

TEST_F(WorkspaceOnABus, AServiceThatFailsBeforeTakingItsNameIsAFailedLaunch) {
  const auto marker = bus.scratchDir() / "ran";
  bus.writeService(kApp, "/bin/sh -c 'echo ran > " + marker.native() + "; exit 3'");
  const auto error = open(registered(kApp));
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_THAT(error, Optional(HasSubstr("exited with status 3")));
}

// A new session can arrive right after start-up: the first bus call of a platform is
// pipelined behind the handshake and still gets its answer.
TEST(WorkspaceRightAfterStartUp, FirstQueriesAndLaunchesAreAnswered) {
  PrivateBus bus;
  BusListener running(bus.address());
  running.requestName("com.quillbeam.test.Running");
  const auto marker = bus.scratchDir() / "started";
  bus.writeService(kApp,
                   std::string(QUILLBEAM_TEST_BUS_NAME_OWNER) + " " + kApp + " " + marker.native());
  LogLines log;
  std::optional<LinuxPlatform> platform(std::in_place, log.sink(), bus.address());
  EXPECT_TRUE(ask(*platform, "com.quillbeam.test.Running"));
  platform.emplace(log.sink(), bus.address());
  EXPECT_EQ(find(*platform, kApp), registered(kApp));
  platform.emplace(log.sink(), bus.address());
  std::optional<std::optional<std::string>> outcome;
  platform->workspace().openInBackground(
      registered(kApp), [&](std::optional<std::string> error) { outcome = std::move(error); });
  ASSERT_TRUE(runUntil(platform->eventLoop(), [&] { return outcome.has_value(); }));
  EXPECT_EQ(*outcome, std::nullopt);
  EXPECT_TRUE(fs::exists(marker));
  platform.reset();
  EXPECT_THAT(log.lines(), ::testing::IsEmpty());
}

TEST(BundleExecutable, IsTheBundleStemUnderContentsMacOS) {
  EXPECT_EQ(BusWorkspace::bundleExecutable("/a/X.app"), "/a/X.app/Contents/MacOS/X");
  EXPECT_EQ(BusWorkspace::bundleExecutable("/a/X.app/"), "/a/X.app/Contents/MacOS/X");
  EXPECT_EQ(BusWorkspace::bundleExecutable("/a/My.Tool.app"),
            "/a/My.Tool.app/Contents/MacOS/My.Tool");
  EXPECT_EQ(BusWorkspace::bundleExecutable("rel/Y.app"), "rel/Y.app/Contents/MacOS/Y");
}

// --- Bundles started as detached processes ----------------------------------------------

class BundleLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillbeam-bundle-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    app = root / "Quillbeam.app";
    fs::create_directories(app / "Contents" / "MacOS");
  }
  void TearDown() override { fs::remove_all(root); }

  void writeExecutable(const std::string& script, fs::perms perms = fs::perms::owner_all) {
    const auto path = app / "Contents" / "MacOS" / "Quillbeam";
    std::ofstream(path) << script;
    fs::permissions(path, perms);
  }

  // Opens the bundle and waits for the completion, which may come on any thread.
  std::optional<std::string> open() {
    std::promise<std::optional<std::string>> outcome;
    auto future = outcome.get_future();
    platform.workspace().openInBackground(
        AppLocation{AppLocation::Bundle{app}},
        [&outcome](std::optional<std::string> error) { outcome.set_value(std::move(error)); });
    // A launch never waits on the caller's loop; the loop is left alone here on purpose.
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }

  fs::path root;
  fs::path app;
  LogLines log;
  LinuxPlatform platform{log.sink(), std::nullopt};
};

TEST_F(BundleLaunch, TheAppIsNotOurChildRunsInItsOwnSessionAndGetsNoneOfOurStreams) {
  const auto report = root / "report";
  // A descriptor of ours without close-on-exec, like the browser's pipes: must not leak.
  const auto secret = root / "secret";
  const int leaky = ::open(secret.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(leaky, 0);
  // The bridge ignores SIGPIPE; the app must get the default back.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);

  // Read through /proc/$$ from a command substitution, so the redirection of the report
  // itself is not what is seen.
  writeExecutable(
      "#!/bin/sh\n"
      "info=$(\n"
      "  cat /proc/$$/stat; echo\n"
      "  grep SigIgn /proc/$$/status\n"
      "  echo \"cwd $(readlink /proc/$$/cwd)\"\n"
      "  for fd in /proc/$$/fd/*; do echo \"fd ${fd##*/} $(readlink $fd)\"; done\n"
      ")\n"
      "echo \"$info\" > " +
      report.native() +
      ".tmp\n"
      "mv " +
      report.native() + ".tmp " + report.native() + "\n");
  const auto outcome = open();
  sigaction(SIGPIPE, &previous, nullptr);
  close(leaky);
  EXPECT_EQ(outcome, std::nullopt);
  ASSERT_TRUE(waitForFile(report));

  std::istringstream lines(readFile(report));
  std::string stat;
  std::getline(lines, stat);
  // pid (comm) state ppid pgrp session ...
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  char state = 0;
  pid_t ppid = 0, pgrp = 0, session = 0;
  fields >> state >> ppid >> pgrp >> session;
  const pid_t pid = std::stoi(stat);
  EXPECT_NE(ppid, getpid());
  EXPECT_EQ(session, pid);
  EXPECT_NE(session, getsid(0));

  std::map<int, std::string> fds;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("SigIgn:", 0) == 0) {
      const auto mask = std::stoull(line.substr(7), nullptr, 16);
      EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << line;
    } else if (line.rfind("cwd ", 0) == 0) {
      EXPECT_EQ(line, "cwd /");
    } else if (line.rfind("fd ", 0) == 0) {
      std::istringstream fd(line.substr(3));
      int number = -1;
      std::string target;
      fd >> number >> target;
      fds[number] = target;
    }
  }
  EXPECT_EQ(fds[0], "/dev/null");
  EXPECT_EQ(fds[1], "/dev/null");
  EXPECT_EQ(fds[2], "/dev/null");
  for (const auto& [number, target] : fds) EXPECT_NE(target, secret.native()) << number;
}

TEST_F(BundleLaunch, AMissingExecutableIsReportedWithTheSystemError) {
  EXPECT_EQ(open(), "No such file or directory");
}

TEST_F(BundleLaunch, AnExecutableWithoutExecutePermissionIsReported) {
  writeExecutable("#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(open(), "Permission denied");
}

TEST_F(BundleLaunch, AFileThatCannotBeExecutedIsReported) {
  writeExecutable(std::string("\x7f"
                              "ELF-but-not-really"),
                  fs::perms::owner_all);
  EXPECT_EQ(open(), "Exec format error");
}

}  // namespace
}  // namespace quillbeam::bridge::platform
