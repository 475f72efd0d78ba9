// The real round trip: a headless Chromium runs the test extension (./extension), which
// starts the built bridge, registered for a throwaway profile by the built quillbeam-register,
// on a private session bus where a stand-in companion is activatable. With
// QUILLBEAM_E2E_TIMELINE set it tells what crossed which boundary and when (scripts/demo.sh).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "support/bus_listener.hpp"
#include "support/eventually.hpp"
#include "support/file_text.hpp"
#include "support/private_bus.hpp"
#include "support/run_command.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class RoundTrip : public ::testing::Test {
 protected:
  ~RoundTrip() override {
    // The browser's group holds its helpers and a host still running.
    if (browser > 0) {
      ::kill(-browser, SIGKILL);
      ::waitpid(browser, nullptr, 0);
    }
  }

  void say(const std::string& boundary, const std::string& what) const {
    if (!std::getenv("QUILLBEAM_E2E_TIMELINE")) return;
    const double at = std::chrono::duration<double>(Clock::now() - launched).count();
    std::printf("%7.3fs  %-20s %s\n", at, boundary.c_str(), what.c_str());
    std::fflush(stdout);
  }

  bool browserGone() { return reaped = reaped || ::waitpid(browser, nullptr, WNOHANG) == browser; }
  bool reported(const std::string& id) const {
    return link && link->session && link->session->id == id;
  }
  std::string log() const { return readFile(scratch / "browser.log"); }

  // Polls until `done` holds; false after a hang guard or once the browser is gone. On the
  // way it tells each new record in the link file and each signal.
  bool until(const std::function<bool()>& done) {
    const auto tellAndCheck = [&] {
      if (browserGone()) return true;
      link =
          SharedFiles::readLink(home / "Library/Application Support/Quillbeam/browser-link.json");
      if (link && link->encode() != told) {
        told = link->encode();
        auto shown = link->toJson();
        if (link->session) shown["session"] = link->session->id;  // its goal is told below
        say("bridge -> file", "browser-link.json " + shown.dump());
      }
      for (; signals < listener.received().size(); ++signals)
        say("bridge -> bus", "signal com.quillbeam.companion.browserState");
      return done();
    };
    return eventually(tellAndCheck, {}, std::chrono::seconds(90)) && !reaped;
  }

  void command(const std::string& json, const std::string& note = "") {
    say("companion -> bus", "signal com.quillbeam.companion.command " + json + note);
    listener.emit(CompanionNotification::command,
                  std::map<std::string, std::string>{{"json", json}});
  }

  ScratchDir scratch;
  fs::path home = scratch / "home";
  PrivateBus bus;
  BusListener listener{bus.address()};
  pid_t browser = -1;
  bool reaped = false;
  Clock::time_point launched = Clock::now();
  std::optional<BrowserLink> link;
  std::string told;
  size_t signals = 0;
};

TEST_F(RoundTrip, ChromiumAndTheBridgeConverseThroughFileBusAndCompanion) {
  // The browser itself, not Debian's wrapper script around it.
  const char* chosen = std::getenv("QUILLBEAM_E2E_CHROMIUM");
  const std::string chromium = chosen ? chosen : "/usr/lib/chromium/chromium";
  if (::access(chromium.c_str(), X_OK) != 0) GTEST_SKIP() << "no Chromium at " << chromium;
  const fs::path profile = scratch / "profile", marker = scratch / "companion";
  const std::string logFile = quoted(scratch / "browser.log");
  fs::create_directories(home);
  bus.writeService("com.quillbeam.mac", std::string(QUILLBEAM_NAME_OWNER_PATH) +
                                            " com.quillbeam.mac " + marker.string());
  listener.subscribe(CompanionNotification::browserState);
  // Registered the way a user does it, for this profile only; the ID is the one of the
  // extension's key.
  const std::string registration = quoted(QUILLBEAM_REGISTER_PATH) + " --user-data-dir " +
                                   quoted(profile) + " --bridge " + quoted(QUILLBEAM_BRIDGE_PATH) +
                                   " --extension-id gmgnjhgeclmoaeiaijhkbdclaclaggep >" + logFile;
  ASSERT_EQ(runCommand(registration).status, 0) << log();

  // Root cannot use the browser's sandbox, and containers often lack what it needs.
  const std::string browse =
      "exec env -i PATH=/usr/bin:/bin HOME=" + quoted(home) + " TMPDIR=" + quoted(scratch.path()) +
      " DBUS_SESSION_BUS_ADDRESS=" + quoted(bus.address()) + " " + quoted(chromium) +
      " --headless=new --no-sandbox --user-data-dir=" + quoted(profile) +
      " --load-extension=" + quoted(QUILLBEAM_E2E_EXTENSION_DIR) +
      " --no-first-run --no-default-browser-check --disable-background-networking"
      " --disable-component-update --disable-sync --disable-gpu about:blank </dev/null >>" +
      logFile + " 2>&1";
  launched = Clock::now();
  if ((browser = ::fork()) == 0) {
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", browse.c_str(), nullptr);
    ::_exit(127);
  }
  ASSERT_GT(browser, 0);
  ::setpgid(browser, browser);
  say("launch", "headless Chromium, pid " + std::to_string(browser) + ", with the test extension");

  // The hello, answered: the extension reports the reply inside its first state.
  const bool up = until([&] { return reported("received-1-hello"); });
  if (!up && !link && browserGone()) GTEST_SKIP() << "Chromium cannot run here:\n" << log();
  ASSERT_TRUE(up) << log();
  const fs::path host = "/proc/" + std::to_string(link->bridgePID.value_or(0)) + "/exe";
  EXPECT_EQ(fs::read_symlink(host), fs::canonical(QUILLBEAM_BRIDGE_PATH))
      << "bridgePID is the host";
  EXPECT_EQ(*link, BrowserLink(true, link->lastSeen, "2.7.1", link->session, link->bridgePID));
  EXPECT_EQ(link->session->goal,
            R"({"type":"hello","protocol":1,"appVersion":")" QUILLBEAM_E2E_APP_VERSION "\"}");
  say("bridge -> extension", link->session->goal + "   (as the extension reports it)");

  // A session the bridge had not seen: the bus started the companion for it.
  ASSERT_TRUE(until([&] { return readFile(marker).ends_with("\n"); })) << log();
  say("bus -> companion", "com.quillbeam.mac started by D-Bus activation");

  // Companion commands reach the extension unchanged; one that is no command goes no further.
  command("not json", "   (refused by the bridge)");
  const char* start = R"({"type":"start","draft":{"goal":"Write the report \u00e9","anchors":[],)"
                      R"("mode":"timer","strictness":"strict","durationMin":45,"milestones":[]}})";
  command(start);
  ASSERT_TRUE(until([&] { return reported("received-2-start"); })) << log();
  EXPECT_EQ(json::parse(link->session->goal), json::parse(start));

  // The extension closes its port on this one: the bridge records its end and exits.
  const BrowserLink last = *link;
  command(R"({"type":"open-quit"})", "   (the extension closes its port on it)");
  ASSERT_TRUE(until([&] { return !fs::exists(host); })) << "the bridge runs on";
  ASSERT_TRUE(until([&] { return link && !link->connected; }));
  EXPECT_EQ(*link, BrowserLink(false, link->lastSeen, last.extensionVersion, last.session))
      << "what was known stays known; the bridge is gone";
  // One empty signal per write: the hello, two states and the end.
  EXPECT_TRUE(until([&] { return listener.received().size() >= 4; }));
  EXPECT_EQ(listener.received().size(), 4u);
  for (const auto& s : listener.received())
    EXPECT_EQ(s.path + s.signature, "/com/quillbeam/companion");
  EXPECT_FALSE(browserGone()) << "the browser lives on";
  // The bridge's standard error goes to the browser's: it complained of the bad command alone.
  const std::string text = log();
  EXPECT_EQ(text.find("quillbeam-bridge: "), text.find("quillbeam-bridge: ignoring malformed"));
  EXPECT_EQ(text.rfind("quillbeam-bridge: "), text.find("quillbeam-bridge: ")) << text;
}

}  // namespace
}  // namespace quillbeam::testing
