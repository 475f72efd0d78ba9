// The quillbeam command as a user runs it, from a shell, against the real bridge on a
// private bus with a fake extension on the bridge's pipes.
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "bridge/bridge_fixture.hpp"
#include "quillbeam/session/date.hpp"
#include "quillbeam/session/format.hpp"
#include "support/run_command.hpp"

namespace quillbeam::testing {
namespace {

class Cli : public BridgeFixture {
 protected:
  // `quillbeam <arguments>` through the shell; `environment` adds or overrides variables.
  CommandResult run(const std::string& arguments, const std::string& environment = "") const {
    return runCommand("HOME=" + quoted(home) +
                      " DBUS_SESSION_BUS_ADDRESS=" + quoted(bus.address()) + " " + environment +
                      " " QUILLBEAM_CLI_PATH " " + arguments);
  }
  nlohmann::json statusJson() const { return nlohmann::json::parse(run("status --json").output); }
};

TEST_F(Cli, CommandsReachTheExtensionByteForByte) {
  // Once the extension's first report is announced, the bridge's command match is in
  // place: the bus takes a connection's requests in order.
  auto bridge = start();
  bridge->send(stateJson(std::nullopt));
  ASSERT_TRUE(listener.waitForCount(1));
  const nlohmann::json status = statusJson();
  EXPECT_EQ(status["connected"], true);
  EXPECT_EQ(status["healthy"], true);
  EXPECT_TRUE(status["session"].is_null());
  EXPECT_EQ(run("status").output, "Browser: connected\nNo focus session\n");

  const struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"start --goal 'Essay on bees' --minutes 25 --strictness lockdown "
       "--anchor HTTPS://www.Example.org/notes --anchor example.org --anchor wiki.example.net",
       R"({"type":"start","draft":{"goal":"Essay on bees","anchors":["example.org",)"
       R"("wiki.example.net"],"mode":"timer","strictness":"lockdown","durationMin":25,)"
       R"("milestones":[]}})"},
      {"start --goal=Essay --milestone intro --milestone 'the body' --anchor example.org",
       R"({"type":"start","draft":{"goal":"Essay","anchors":["example.org"],"mode":"goal",)"
       R"("strictness":"strict","milestones":["intro","the body"]}})"},
      {"focus-course", R"({"type":"focus-course"})"},
      {"open-quit", R"({"type":"open-quit"})"},
      {"app-blocked 'Steam Deck'", R"({"type":"app-blocked","app":"Steam Deck"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandResult result = run(c.arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(bridge->read(), c.message);
  }
  end(*bridge);
}

TEST_F(Cli, RefusedCommandsSendNothing) {
  listener.subscribe(CompanionNotification::command);
  const struct {
    std::string environment;
    std::string arguments;
    int status;
    std::string output;  // how the output starts
  } cases[] = {
      {"", "open-quit", 3,
       "quillbeam: no browser is connected; nothing sent (--anyway sends it regardless)\n"},
      {"", "start --goal hi --minutes 25 --anchor example.org --anyway", 1,
       "Write down what you want to get done.\n"},
      {"", "start --goal Essay --minutes 3 --anchor example.org --anyway", 1,
       "Pick a duration between 5 minutes and 8 hours.\n"},
      {"", "start --goal Essay --minutes 25 --strictness harsh", 2,
       "quillbeam: --strictness is gentle, strict or lockdown, not 'harsh' (see quillbeam "
       "--help)\n"},
      {"", "app-blocked", 2, "quillbeam: app-blocked takes one argument (see quillbeam --help)\n"},
      {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus", "open-quit --anyway", 1,
       "quillbeam: no browser is connected; sending anyway\nquillbeam: not sent: "},
      {"", "focus-course --anyway", 0, "quillbeam: no browser is connected; sending anyway\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandResult result = run(c.arguments, c.environment);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output.substr(0, c.output.size()), c.output);
  }
  // The bus routes in the order it receives: anything sent before the last case is first.
  ASSERT_TRUE(listener.waitForCount(1));
  ASSERT_EQ(listener.received().size(), 1u);
  EXPECT_EQ(listener.received()[0].json, R"({"type":"focus-course"})");
}

TEST_F(Cli, StatusJudgesTheLinkRecord) {
  const int64_t now = Date::now().ms();
  const pid_t deadBridge = ::fork();
  if (deadBridge == 0) ::_exit(0);
  ASSERT_GT(deadBridge, 0);
  ::waitpid(deadBridge, nullptr, 0);

  SessionSnapshot onBreak;
  onBreak.id = "s1";
  onBreak.goal = "Read chapter 4";
  onBreak.mode = SessionMode::goal;
  onBreak.strictness = Strictness::gentle;
  onBreak.startedAt = now - 600'000;
  onBreak.endsAt = now + 1'500'000;
  onBreak.milestonesDone = 1;
  onBreak.milestonesTotal = 3;
  onBreak.breakUntil = now + 300'000;
  SessionSnapshot ended = onBreak;
  ended.endsAt = now - 1'000;

  const struct {
    const char* name;
    std::optional<BrowserLink> link;
    bool connected;
    bool healthy;
    std::optional<SessionSnapshot> session;
    std::string textStart;
  } cases[] = {
      {"no file", std::nullopt, false, false, std::nullopt,
       "Browser: not connected, never seen\nNo focus session\n"},
      {"bridge died", BrowserLink(true, now - 90'000, "1.2", std::nullopt, deadBridge), false,
       false, std::nullopt, "Browser: not connected, last seen 2m ago (extension 1.2)\n"},
      {"inside grace", BrowserLink(false, now - 5'000), false, true, std::nullopt,
       "Browser: reconnecting, last seen <1m ago\n"},
      {"past grace", BrowserLink(false, now - 90'000), false, false, std::nullopt,
       "Browser: not connected, last seen 2m ago\n"},
      {"on a break", BrowserLink(false, now - 5'000, std::nullopt, onBreak), false, true, onBreak,
       "Browser: reconnecting, last seen <1m ago\nSession: Read chapter 4\n  goal, Gentle, "},
      {"session ended", BrowserLink(false, now - 5'000, std::nullopt, ended), false, true,
       std::nullopt, "Browser: reconnecting, last seen <1m ago\nNo focus session\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(linkPath());
    if (c.link) SharedFiles::writeLink(*c.link, linkPath());
    EXPECT_EQ(run("status").output.substr(0, c.textStart.size()), c.textStart);
    const nlohmann::json status = statusJson();
    EXPECT_EQ(status["connected"], c.connected);
    EXPECT_EQ(status["healthy"], c.healthy);
    EXPECT_EQ(status["lastSeen"], c.link ? nlohmann::json(c.link->lastSeen) : nlohmann::json());
    const nlohmann::json& session = status["session"];
    ASSERT_EQ(session.is_null(), !c.session);
    if (!c.session) continue;
    EXPECT_EQ(session["goal"], c.session->goal);
    EXPECT_EQ(session["mode"], "goal");
    EXPECT_EQ(session["strictnessTitle"], "Gentle");
    EXPECT_EQ(session["onBreak"], true);
    const double breakLeft = session["breakRemaining"];
    EXPECT_GT(breakLeft, 0.0);
    EXPECT_LE(breakLeft, 300.0);
    EXPECT_EQ(session["breakRemainingText"], Format::clock(breakLeft));
    EXPECT_GT(session["remaining"].get<double>(), breakLeft);
  }
}

TEST_F(Cli, CompanionSettingsAreEditedInPlaceAndABrokenFileIsNeverOverwritten) {
  // No companion runs: the edits are the file's, for it to read when it starts.
  const std::string config = "XDG_CONFIG_HOME='" + (home / "config").string() + "'";
  const auto file = home / "config/quillbeam/settings.json";
  EXPECT_THAT(run("block org.gnome.Chess", config).output,
              HasSubstr("org.gnome.Chess is paused during focus sessions"));
  EXPECT_THAT(run("block org.gnome.Chess", config).output, HasSubstr("already blocked"));
  const CommandResult changed =
      run("settings --study-browser chromium --other-browsers allowed", config);
  EXPECT_EQ(changed.status, 0);
  EXPECT_THAT(changed.output, HasSubstr("Study browser:   Chromium (org.chromium.Chromium)"));
  EXPECT_THAT(changed.output, HasSubstr("Other browsers:  allowed"));
  EXPECT_THAT(readFile(file), HasSubstr(R"("bundleID": "org.gnome.Chess")"));
  EXPECT_THAT(run("unblock Discord", config).output, HasSubstr("Discord is no longer paused"));
  EXPECT_EQ(run("allow Discord --minutes 0", config).status, 2);

  writeFile(file, R"({"studyBrowser": 7})");
  for (const char* edit : {"block Slack", "settings --extension-guard off", "settings"}) {
    const CommandResult refused = run(edit, config);
    EXPECT_EQ(refused.status, 1) << edit;
    EXPECT_THAT(refused.output, HasSubstr(file.string())) << edit;
  }
  EXPECT_EQ(readFile(file), R"({"studyBrowser": 7})");
}

}  // namespace
}  // namespace quillbeam::testing
