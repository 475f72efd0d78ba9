// The companion as a desktop runs it: real processes in a throwaway cgroup tree laid out
// like a user's manager, a private bus, the real bridge with a fake extension on its pipes,
// and the companion started by the test or by D-Bus activation. Only processes these tests
// start are ever paused, in cgroups they make and remove.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "bridge/support/bridge_process.hpp"
#include "companion/desktop/cgroup_tree.hpp"
#include "companion/pause_record.hpp"
#include "companion/settings_file.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

std::string slurp(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int64_t nowMs() {
  return Date::now().ms();
}

std::string session(std::string_view id, int64_t endsAt, std::optional<int64_t> breakUntil = {},
                    std::string_view strictness = "strict") {
  return R"({"id":")" + std::string(id) + R"(","goal":"Deep work","mode":"timer","strictness":")" +
         std::string(strictness) + R"(","startedAt":)" + std::to_string(nowMs() - 60000) +
         R"(,"endsAt":)" + std::to_string(endsAt) +
         (breakUntil ? R"(,"breakUntil":)" + std::to_string(*breakUntil) : "") +
         R"(,"milestonesDone":0,"milestonesTotal":0,"anchors":["example.org"],"anchorUrl":"https://example.org/"})";
}

// A user manager's subtree under the machine's cgroup v2 mount, made for one test and
// removed after it with everything the test started in it.
class ThrowawayTree {
 public:
  ThrowawayTree() {
    if (geteuid() != 0) {
      skip = "making cgroups needs root";
      return;
    }
    auto mount = companion::findCgroup2Mount(slurp("/proc/self/mountinfo"));
    if (!mount) {
      skip = "no cgroup v2 mount";
      return;
    }
    root = mount->mountPoint / ("quillbeam-test-" + std::to_string(getpid()));
    manager = root / "user.slice/user-0.slice/user@0.service";
    std::error_code error;
    fs::create_directories(manager / "app.slice", error);
    fs::create_directories(manager / "session.slice/quillbeam-companion.service", error);
    if (error)
      skip = "cannot make cgroups under " + mount->mountPoint.string() + ": " + error.message();
  }
  ~ThrowawayTree() {
    if (root.empty() || !fs::exists(root)) return;
    for (pid_t pid : started) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::vector<fs::path> cgroups;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_directory()) cgroups.push_back(entry.path());
    }
    cgroups.push_back(root);
    std::sort(cgroups.begin(), cgroups.end(), std::greater<>());  // deepest first
    for (const auto& cgroup : cgroups) {
      std::ofstream(cgroup / "cgroup.freeze") << "0";
      // Whatever the companion left here is a process of this test's making.
      std::istringstream pids(slurp(cgroup / "cgroup.procs"));
      for (pid_t pid; pids >> pid;) ::kill(pid, SIGKILL);
      eventually([&] { return slurp(cgroup / "cgroup.procs").empty(); });
      ::rmdir(cgroup.c_str());
    }
  }

  // Starts a process in its own unit directory under app.slice, as a desktop starts an app.
  pid_t startApp(const std::string& unit) {
    const fs::path cgroup = manager / "app.slice" / unit;
    fs::create_directories(cgroup);
    return startIn(cgroup, {"/bin/sleep", "1000"});
  }
  // Starts argv, first moved into `cgroup` when one is given.
  pid_t startIn(const std::optional<fs::path>& cgroup, std::vector<std::string> argv) {
    const std::string procs = cgroup ? (*cgroup / "cgroup.procs").string() : "";
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      if (!procs.empty()) {
        const int fd = ::open(procs.c_str(), O_WRONLY);
        if (fd < 0 || ::write(fd, "0", 1) != 1) _exit(127);
        ::close(fd);
      }
      ::execv(args[0], args.data());
      _exit(127);
    }
    started.push_back(pid);
    return pid;
  }
  bool frozen(const std::string& unit) const {
    return slurp(manager / "app.slice" / unit / "cgroup.events").find("frozen 1") !=
           std::string::npos;
  }

  std::string skip;
  fs::path root, manager;
  std::vector<pid_t> started;
};

class Shielding : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tree.skip.empty()) GTEST_SKIP() << tree.skip;
    fs::create_directories(runtime);
    // The companion starts inside the manager's tree, as its user unit would.
    std::ofstream(wrapper) << "#!/bin/sh\n"
                           << "echo 0 > '" << (companionCgroup() / "cgroup.procs").string()
                           << "' || exit 1\n"
                           << "export HOME='" << home.string() << "' XDG_RUNTIME_DIR='"
                           << runtime.string() << "' XDG_CONFIG_HOME='"
                           << (home / ".config").string() << "' DBUS_SESSION_BUS_ADDRESS='"
                           << bus.address() << "'\n"
                           << "exec '" QUILLBEAM_COMPANION_PATH "' 2>>'" << log.string() << "'\n";
  }
  void TearDown() override {
    for (pid_t pid : companions()) ::kill(pid, SIGTERM);
    eventually([&] { return companions().empty(); });
  }

  fs::path companionCgroup() const {
    return tree.manager / "session.slice/quillbeam-companion.service";
  }
  std::vector<pid_t> companions() const {
    std::vector<pid_t> pids;
    std::istringstream text(slurp(companionCgroup() / "cgroup.procs"));
    for (pid_t pid; text >> pid;) pids.push_back(pid);
    return pids;
  }
  pid_t startCompanion() {
    const pid_t pid = tree.startIn(std::nullopt, {"/bin/sh", wrapper.string()});
    // Started once it answers on the bus.
    eventually([&] { return cli("apps").find("not running") == std::string::npos; });
    return pid;
  }
  std::unique_ptr<BridgeProcess> bridge() {
    auto bridge = std::make_unique<BridgeProcess>(
        BridgeProcess::Options{home, bus.address(), {}, false, runtime.string()});
    bridge->send(R"({"type":"hello"})");
    bridge->read();
    return bridge;
  }
  std::string cli(const std::string& arguments, int* status = nullptr) const {
    const std::string command = "HOME='" + home.string() + "' XDG_RUNTIME_DIR='" +
                                runtime.string() + "' XDG_CONFIG_HOME='" +
                                (home / ".config").string() + "' DBUS_SESSION_BUS_ADDRESS='" +
                                bus.address() + "' '" QUILLBEAM_CLI_PATH "' " + arguments + " 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int result = ::pclose(pipe);
    if (status) *status = WEXITSTATUS(result);
    return output;
  }
  void writeLink(const std::optional<std::string>& sessionJson, bool connected, int64_t lastSeen) {
    std::optional<SessionSnapshot> snapshot;
    if (sessionJson) snapshot = SessionSnapshot::fromJson(json::parse(*sessionJson));
    SharedFiles::writeLink(BrowserLink(connected, lastSeen, {}, snapshot),
                           home / "Library/Application Support/Quillbeam/browser-link.json");
  }
  std::string log_() const { return slurp(log); }

  ThrowawayTree tree;
  PrivateBus bus;
  fs::path home = bus.scratchDir() / "home";
  fs::path runtime = bus.scratchDir() / "runtime";
  fs::path wrapper = bus.scratchDir() / "companion.sh";
  fs::path log = bus.scratchDir() / "companion.log";
  const std::string discord = "app-flatpak-com.discordapp.Discord-1234.scope";
  const std::string blockedMessage = R"({"type":"app-blocked","app":"Discord"})";
};

TEST_F(Shielding,
       TheBridgesLaunchActivatesTheCompanionWhichPausesForExactlyAsLongAsTheSessionShields) {
  tree.startApp(discord);
  bus.writeService("com.quillbeam.mac", "/bin/sh " + wrapper.string());
  auto browser = bridge();
  const int64_t hour = nowMs() + 3600000;
  browser->send(stateJson(session("s1", hour)));
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  EXPECT_EQ(browser->read(), blockedMessage);

  // An app started while the session runs is paused too, and told once.
  const std::string steam = "app-gnome-steam-77.scope";
  tree.startApp(steam);
  EXPECT_TRUE(eventually([&] { return tree.frozen(steam); })) << log_();
  EXPECT_EQ(browser->read(), R"({"type":"app-blocked","app":"Steam"})");

  browser->send(stateJson(session("s1", hour, hour)));  // a break
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord) && !tree.frozen(steam); }));
  browser->send(stateJson(session("s1", hour)));  // back from it
  EXPECT_TRUE(eventually([&] { return tree.frozen(discord) && tree.frozen(steam); }));
  browser->send(stateJson(std::nullopt));  // the session ends
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord) && !tree.frozen(steam); }));
  // Told once per app per session, not again after the break.
  browser->send(R"({"type":"hello"})");
  EXPECT_EQ(browser->read(),
            std::optional<std::string>(
                R"({"type":"hello","protocol":1,"appVersion":")" QUILLBEAM_APP_VERSION R"("})"));
}

TEST_F(Shielding, TheSessionsEndSettingsAndAnAllowanceEachResumeTheApp) {
  tree.startApp(discord);
  startCompanion();
  auto browser = bridge();
  // A session that ends on its own: the companion wakes at its end, no signal needed.
  browser->send(stateJson(session("s2", nowMs() + 8000)));
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  EXPECT_THAT(cli("unblock Discord"), HasSubstr("Discord is no longer paused"));
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord); }));
  // An edit by hand is heard as well: the defaults block Discord again.
  companion::writeSettings(home / ".config/quillbeam/settings.json", CompanionSettings::defaults());
  EXPECT_TRUE(eventually([&] { return tree.frozen(discord); }));
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord); })) << log_();

  browser->send(stateJson(session("s3", nowMs() + 3600000)));
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  int status = -1;
  EXPECT_THAT(cli("allow discord --minutes 5", &status), HasSubstr("Discord is allowed until"));
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(tree.frozen(discord));  // the companion answers once it has resumed it
}

TEST_F(Shielding, TheStudyBrowserWithTheExtensionOffStaysUsableWhileOtherAppsPause) {
  const std::string chrome = "app-com.google.Chrome-5.scope";
  tree.startApp(chrome);
  tree.startApp(discord);
  // The extension last spoke a minute ago: unhealthy, in a strict session.
  writeLink(session("s4", nowMs() + 3600000), false, nowMs() - 60000);
  startCompanion();
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  EXPECT_FALSE(tree.frozen(chrome));
  const std::string apps = cli("apps");
  EXPECT_THAT(apps, Not(HasSubstr("not running")));  // the companion's own answer
  EXPECT_THAT(apps, HasSubstr("extension is off"));
  EXPECT_THAT(apps, HasSubstr("paused"));
}

TEST_F(Shielding, NothingPausedOutlivesTheCompanion) {
  tree.startApp(discord);
  writeLink(session("s5", nowMs() + 3600000), true, nowMs());
  startCompanion();
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  const fs::path record = runtime / "quillbeam/paused.json";
  ASSERT_EQ(companion::PauseRecord::read(record).size(), 1u);

  // SIGTERM: everything resumed, the record emptied.
  for (pid_t pid : companions()) ::kill(pid, SIGTERM);
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord) && !fs::exists(record); })) << log_();

  // kill -9 leaves the app paused; a new start resumes it once the policy no longer
  // shields it.
  startCompanion();
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  for (pid_t pid : companions()) ::kill(pid, SIGKILL);
  ASSERT_TRUE(eventually([&] { return companions().empty(); }));
  EXPECT_TRUE(tree.frozen(discord));
  writeLink(std::nullopt, true, nowMs());
  startCompanion();
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord); })) << log_();

  // The bus going away: everything resumed, and the companion ends (activation brings it
  // back). A settings change makes it read the link again.
  writeLink(session("s5", nowMs() + 3600000), true, nowMs());
  cli("settings --other-browsers blocked");
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  bus.kill();
  EXPECT_TRUE(eventually([&] { return !tree.frozen(discord) && companions().empty(); })) << log_();
}

TEST_F(Shielding, ResumeAllWorksWithoutTheCompanionAndKeepsTheSessionFromPausingAgain) {
  tree.startApp(discord);
  writeLink(session("s6", nowMs() + 3600000), true, nowMs());
  startCompanion();
  ASSERT_TRUE(eventually([&] { return tree.frozen(discord); })) << log_();
  for (pid_t pid : companions()) ::kill(pid, SIGKILL);
  ASSERT_TRUE(eventually([&] { return companions().empty(); }));
  int status = -1;
  EXPECT_THAT(cli("resume-all", &status), HasSubstr("Resumed 1 app(s)"));
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(tree.frozen(discord));
  // The companion's next start respects it for the rest of this session.
  startCompanion();
  EXPECT_THAT(cli("apps"), HasSubstr("allowed"));
  EXPECT_FALSE(tree.frozen(discord));
}

}  // namespace
}  // namespace quillbeam::testing
