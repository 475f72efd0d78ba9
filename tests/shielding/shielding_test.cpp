// The companion as a desktop runs it: real processes in a throwaway cgroup tree laid out
// like a user's manager, a private bus, the real bridge with a fake extension on its pipes,
// and the companion started by the test or by D-Bus activation. Only processes these tests
// start are ever paused, in cgroups they make and remove.
#include <gmock/gmock.h>

#include <signal.h>
#include <regex>
#include <sstream>

#include "bridge/support/bridge_process.hpp"
#include "companion/pause_record.hpp"
#include "companion/settings_file.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "support/eventually.hpp"
#include "support/file_text.hpp"
#include "support/private_bus.hpp"
#include "support/run_command.hpp"
#include "support/throwaway_cgroup.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::SizeIs;

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

class Shielding : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cgroups.why().empty()) GTEST_SKIP() << cgroups.why();
    fs::create_directories(runtime);
    // The companion starts inside the manager's tree, as its user unit would.
    fs::create_directories(companionCgroup());
    writeFile(wrapper, "#!/bin/sh\necho 0 > " + quoted(companionCgroup() / "cgroup.procs") +
                           " || exit 1\nexport " + environment() + "\nexec " +
                           quoted(QUILLBEAM_COMPANION_PATH) + " 2>>" + quoted(log) + "\n");
  }
  void TearDown() override {
    for (pid_t pid : companions()) ::kill(pid, SIGTERM);
    eventually([&] { return companions().empty(); });
  }

  std::string environment() const {
    return "HOME=" + quoted(home) + " XDG_RUNTIME_DIR=" + quoted(runtime) +
           " XDG_CONFIG_HOME=" + quoted(home / ".config") +
           " DBUS_SESSION_BUS_ADDRESS=" + quoted(bus.address());
  }
  fs::path companionCgroup() const {
    return cgroups.tree().managerRoot / "session.slice/quillbeam-companion.service";
  }
  std::vector<pid_t> companions() const { return cgroups.processesIn(companionCgroup()); }
  // A process in its own unit directory under app.slice, as a desktop starts an app.
  void startApp(const std::string& unit) {
    cgroups.start("/bin/sleep", {"1000"}, cgroups.unit(unit));
  }
  bool frozen(const std::string& unit) const {
    return cgroups.frozen(cgroups.tree().appSlice / unit);
  }
  void startCompanion() {
    cgroups.start("/bin/sh", {wrapper.string()});
    // Started once it answers on the bus.
    eventually([&] { return cli("apps").find("not running") == std::string::npos; });
  }
  std::unique_ptr<BridgeProcess> bridge() {
    auto bridge = std::make_unique<BridgeProcess>(
        BridgeProcess::Options{home, bus.address(), {}, false, runtime.string()});
    bridge->send(R"({"type":"hello"})");
    bridge->read();
    return bridge;
  }
  // quillbeam run as from the user's terminal: inside the manager's tree, where it finds
  // the same apps as the companion.
  std::string cli(const std::string& arguments, int* status = nullptr) const {
    const fs::path terminal = cgroups.tree().managerRoot / "session.slice/terminal.service";
    fs::create_directories(terminal);
    const CommandResult result =
        runCommand("echo 0 > " + quoted(terminal / "cgroup.procs") + " && " + environment() +
                   " exec " + quoted(QUILLBEAM_CLI_PATH) + " " + arguments);
    if (status) *status = result.status;
    return result.output;
  }
  void writeLink(const std::optional<std::string>& sessionJson, bool connected, int64_t lastSeen) {
    std::optional<SessionSnapshot> snapshot;
    if (sessionJson) snapshot = SessionSnapshot::fromJson(json::parse(*sessionJson));
    SharedFiles::writeLink(BrowserLink(connected, lastSeen, {}, snapshot),
                           home / "Library/Application Support/Quillbeam/browser-link.json");
  }
  std::string log_() const { return readFile(log); }

  ThrowawayCgroup cgroups;
  PrivateBus bus;
  fs::path home = bus.scratchDir() / "home";
  fs::path runtime = bus.scratchDir() / "runtime";
  fs::path wrapper = bus.scratchDir() / "companion.sh";
  fs::path log = bus.scratchDir() / "companion.log";
  const std::string discord = "app-flatpak-com.discordapp.Discord-1234.scope";
};

TEST_F(Shielding, TheSessionsEndSettingsAndAnAllowanceEachResumeTheApp) {
  startApp(discord);
  startCompanion();
  auto browser = bridge();
  // A session that ends on its own: the companion wakes at its end, no signal needed.
  browser->send(stateJson(session("s2", nowMs() + 8000)));
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  EXPECT_THAT(cli("unblock Discord"), HasSubstr("Discord is no longer paused"));
  EXPECT_TRUE(eventually([&] { return !frozen(discord); }));
  // An edit by hand is heard as well: the defaults block Discord again.
  companion::writeSettings(home / ".config/quillbeam/settings.json", CompanionSettings::defaults());
  EXPECT_TRUE(eventually([&] { return frozen(discord); }));
  EXPECT_TRUE(eventually([&] { return !frozen(discord); })) << log_();

  browser->send(stateJson(session("s3", nowMs() + 3600000)));
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  int status = -1;
  EXPECT_THAT(cli("allow discord --minutes 5", &status), HasSubstr("Discord is allowed until"));
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(frozen(discord));  // the companion answers once it has resumed it
}

// Each row of `quillbeam apps` as "NAME | VERDICT": the state column differs by design.
std::vector<std::string> verdictRows(const std::string& listing) {
  static const std::regex row(R"(^(\S.*?)  +\S+  +(?:paused|running)  +(.*)$)");
  std::vector<std::string> rows;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, row)) rows.push_back(match[1].str() + " | " + match[2].str());
  }
  return rows;
}

TEST_F(Shielding, TheStudyBrowserWithTheExtensionOffStaysUsableWhileOtherAppsPause) {
  const std::string chrome = "app-com.google.Chrome-5.scope";
  startApp(chrome);
  startApp(discord);
  // The extension last spoke a minute ago: unhealthy, in a strict session.
  writeLink(session("s4", nowMs() + 3600000), false, nowMs() - 60000);
  const std::string judgedHere = cli("apps");
  ASSERT_THAT(judgedHere, HasSubstr("not running"));
  startCompanion();
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  EXPECT_FALSE(frozen(chrome));
  const std::string apps = cli("apps");
  EXPECT_THAT(apps, Not(HasSubstr("not running")));  // the companion's own answer
  EXPECT_THAT(apps, HasSubstr("extension is off"));
  EXPECT_THAT(apps, HasSubstr("paused"));
  // quillbeam on its own judges as the running companion does.
  EXPECT_THAT(verdictRows(apps), SizeIs(2));
  EXPECT_EQ(verdictRows(judgedHere), verdictRows(apps));
}

TEST_F(Shielding, NothingPausedOutlivesTheCompanion) {
  startApp(discord);
  writeLink(session("s5", nowMs() + 3600000), true, nowMs());
  startCompanion();
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  const fs::path record = runtime / "quillbeam/paused.json";
  ASSERT_EQ(companion::PauseRecord::read(record).apps.size(), 1u);
  // A second companion on the same bus finds the name taken and ends, touching nothing.
  EXPECT_THAT(runCommand(environment() + " " + quoted(QUILLBEAM_COMPANION_PATH)).output,
              HasSubstr("already runs on this session bus"));

  // SIGTERM: everything resumed, the record emptied.
  for (pid_t pid : companions()) ::kill(pid, SIGTERM);
  EXPECT_TRUE(eventually([&] { return !frozen(discord) && !fs::exists(record); })) << log_();

  // kill -9 leaves the app paused; a new start resumes it once the policy no longer
  // shields it.
  startCompanion();
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  for (pid_t pid : companions()) ::kill(pid, SIGKILL);
  ASSERT_TRUE(eventually([&] { return companions().empty(); }));
  EXPECT_TRUE(frozen(discord));
  writeLink(std::nullopt, true, nowMs());
  startCompanion();
  EXPECT_TRUE(eventually([&] { return !frozen(discord); })) << log_();

  // The bus going away: everything resumed, and the companion ends (activation brings it
  // back). A settings change makes it read the link again.
  writeLink(session("s5", nowMs() + 3600000), true, nowMs());
  cli("settings --other-browsers blocked");
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  bus.kill();
  EXPECT_TRUE(eventually([&] { return !frozen(discord) && companions().empty(); })) << log_();
}

TEST_F(Shielding, ResumeAllWorksWithoutTheCompanionAndKeepsTheSessionFromPausingAgain) {
  startApp(discord);
  writeLink(session("s6", nowMs() + 3600000), true, nowMs());
  startCompanion();
  ASSERT_TRUE(eventually([&] { return frozen(discord); })) << log_();
  // Another login's companion (another bus, the same user) finds the record taken and
  // leaves everything as it is.
  PrivateBus otherLogin;
  const CommandResult second =
      runCommand(environment() + " DBUS_SESSION_BUS_ADDRESS=" + quoted(otherLogin.address()) + " " +
                 quoted(QUILLBEAM_COMPANION_PATH));
  EXPECT_THAT(second.output, HasSubstr("another companion (pid "));
  EXPECT_EQ(second.status, 0);
  EXPECT_TRUE(frozen(discord));
  for (pid_t pid : companions()) ::kill(pid, SIGKILL);
  ASSERT_TRUE(eventually([&] { return companions().empty(); }));
  // A damaged entry beside a good one: the good one is resumed, the rest kept and named.
  const fs::path record = runtime / "quillbeam/paused.json";
  std::string text = readFile(record);
  text.insert(text.rfind(']'), R"(,{"bundleID":"x","name":"X","target":{"cgroup":"relative"}})");
  writeFile(record, text);
  int status = -1;
  const std::string resumed = cli("resume-all", &status);
  EXPECT_THAT(resumed, HasSubstr("Resumed 1 app(s); 1 could not be"));
  EXPECT_THAT(resumed, HasSubstr("kept in " + record.string() + ".damaged-"));
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(frozen(discord));
  // The companion's next start respects it for the rest of this session.
  startCompanion();
  EXPECT_THAT(cli("apps"), HasSubstr("allowed"));
  EXPECT_FALSE(frozen(discord));
}

}  // namespace
}  // namespace quillbeam::testing
