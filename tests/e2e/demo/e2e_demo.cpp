// A real round trip told as a timeline: headless Chromium runs the test extension, which
// starts the bridge; the bridge writes the link file, signals on a private session bus and
// has the bus start a stand-in companion; commands sent on the bus reach the extension;
// finally the extension closes its port and the bridge ends. Each line says what crossed
// which boundary and when, in seconds since the browser was launched.
//
// What the extension received is known because it reports every message back as a state
// whose session names it; what the bridge received shows in what it writes.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "quillbeam/json/strict_json.hpp"
#include "support/browser_run.hpp"
#include "support/exit_watcher.hpp"
#include "support/test_extension.hpp"

namespace {

using namespace quillbeam;
using namespace quillbeam::testing;
using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(60);

class Timeline {
 public:
  explicit Timeline(BrowserRun& run) : run_(run) {}

  void launched() { start_ = Clock::now(); }

  void say(const std::string& boundary, const std::string& what) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    std::printf("%7.3fs  %-26s %s\n", seconds, boundary.c_str(), what.c_str());
    std::fflush(stdout);
  }

  // Notes whatever changed since the last look: signals, the link file, the companion.
  void look() {
    const auto signals = run_.listener().received().size();
    if (auto record = run_.link(); record && record->encode() != lastLink_) {
      describe(*record);
      lastLink_ = record->encode();
    }
    for (; signalsSeen_ < signals; ++signalsSeen_) {
      say("bridge -> bus", "signal com.quillbeam.companion.browserState (no data)");
    }
    if (!companion_) {
      if ((companion_ = run_.companionPid())) {
        say("launch", std::string(BrowserRun::companionName) +
                          " (the stand-in companion) started by D-Bus activation, pid " +
                          std::to_string(*companion_));
      }
    }
  }

  // Looks until `done` holds; false when it did not by the deadline.
  template <typename Done>
  bool until(Done done) {
    const auto deadline = Clock::now() + patience;
    while (Clock::now() < deadline) {
      look();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

 private:
  void describe(const BrowserLink& record) {
    const auto previous = previous_;
    previous_ = record;
    if (record.extensionVersion && (!previous || !previous->extensionVersion)) {
      say("extension -> bridge", "hello, extension version " + *record.extensionVersion);
    }
    const bool newSession = record.session && (!previous || !previous->session ||
                                               previous->session->id != record.session->id);
    if (newSession) {
      say("bridge -> extension", record.session->goal + "   (as the extension reports it)");
      say("extension -> bridge", "state, session \"" + record.session->id + "\"");
    }
    std::string summary = record.connected ? "connected" : "disconnected";
    if (record.bridgePID) summary += ", bridgePID " + std::to_string(*record.bridgePID);
    if (record.session) summary += ", session \"" + record.session->id + "\"";
    if (!record.connected && !record.bridgePID) summary += ", no bridgePID";
    say("bridge -> file", "browser-link.json: " + summary);
  }

  BrowserRun& run_;
  Clock::time_point start_ = Clock::now();
  std::string lastLink_;
  std::optional<BrowserLink> previous_;
  size_t signalsSeen_ = 0;
  std::optional<pid_t> companion_;
};

int fail(const std::string& what, BrowserRun& run) {
  std::cerr << "e2e demo: " << what << "\n" << run.browserLogTail();
  return 1;
}

}  // namespace

int main() {
  try {
    BrowserRun run({.disconnectOn = "open-quit"});
    Timeline timeline(run);
    std::printf("Bridge:    %s\nExtension: %s (id %s)\nProfile:   %s\n\n",
                BrowserRun::bridgeExecutable().c_str(), TestExtension::sourceDir().c_str(),
                std::string(TestExtension::id).c_str(), run.profileDir().c_str());

    timeline.launched();
    run.startBrowser();
    timeline.say("launch", "headless Chromium (pid " + std::to_string(run.browser().pid()) +
                               ") with the test extension");
    std::optional<pid_t> host;
    if (!timeline.until([&] {
          return (host = run.browser().childRunning(BrowserRun::bridgeExecutable())).has_value();
        })) {
      return fail("the browser never started the bridge", run);
    }
    timeline.say("browser -> bridge",
                 "started quillbeam_bridge (pid " + std::to_string(*host) + ")");
    ExitWatcher watcher(*host);

    auto hasSession = [&](const std::string& id) {
      return [&run, id] {
        auto record = run.link();
        return record && record->session && record->session->id == id;
      };
    };
    // Every write of the link file comes with one signal: waiting for it keeps the
    // timeline in the order things happened.
    size_t writes = 0;
    auto signalled = [&](size_t count) {
      return [&run, count] { return run.listener().received().size() >= count; };
    };
    if (!timeline.until(hasSession(TestExtension::receiptID(1, "hello"))) ||
        !timeline.until(signalled(writes += 2))) {
      return fail("the conversation never started", run);
    }
    if (!timeline.until([&] { return run.companionPid().has_value(); })) {
      return fail("the companion was never started", run);
    }

    const std::pair<const char*, const char*> commands[] = {
        {"start",
         R"({"type":"start","draft":{"goal":"Write the report","anchors":["docs.example.org"],)"
         R"("mode":"timer","strictness":"strict","durationMin":45,"milestones":[]}})"},
        {"app-blocked", R"({"type":"app-blocked","app":"Steam"})"},
    };
    int count = 1;
    for (const auto& [type, json] : commands) {
      timeline.say("companion -> bus",
                   std::string("signal com.quillbeam.companion.command ") + json);
      run.emitCommand(json);
      if (!timeline.until(hasSession(TestExtension::receiptID(++count, type))) ||
          !timeline.until(signalled(++writes))) {
        return fail(std::string("the ") + type + " command never arrived", run);
      }
    }

    timeline.say("companion -> bus",
                 R"(signal com.quillbeam.companion.command {"type":"open-quit"})"
                 "   (this run's extension closes its port on it)");
    run.emitCommand(R"({"type":"open-quit"})");
    const auto ended = [&] { return watcher.wait(std::chrono::milliseconds(0)).has_value(); };
    if (!timeline.until([&] { return run.link() && !run.link()->connected; }) ||
        !timeline.until(signalled(++writes)) || !timeline.until(ended)) {
      return fail("the bridge did not end", run);
    }
    const auto end = *watcher.wait(std::chrono::milliseconds(0));
    timeline.say("bridge", end.statusKnown
                               ? (end.signal ? "killed by signal " + std::to_string(end.signal)
                                             : "exited with status " + std::to_string(end.exitCode))
                               : "exited (status not observable: " + watcher.traceProblem() + ")");
    const std::string diagnostics = run.bridgeDiagnostics();
    if (!diagnostics.empty()) std::printf("\nBridge diagnostics:\n%s", diagnostics.c_str());
    return end.statusKnown && end.exitCode != 0 ? 1 : 0;
  } catch (const BrowserUnavailable& unavailable) {
    std::cerr << "e2e demo: cannot run: " << unavailable.what() << "\n";
    return 77;
  } catch (const std::exception& error) {
    std::cerr << "e2e demo: " << error.what() << "\n";
    return 1;
  }
}
