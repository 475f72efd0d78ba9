#include "support/browser_run.hpp"

#include <fstream>
#include <sstream>
#include <thread>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/companion_notification.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "support/program_run.hpp"
#include "support/test_extension.hpp"

namespace quillbeam::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto pollInterval = std::chrono::milliseconds(5);

}  // namespace

fs::path BrowserRun::bridgeExecutable() {
  return QUILLBEAM_BRIDGE_PATH;
}

BrowserRun::BrowserRun(Settings settings)
    : home_(root_ / "home"),
      tmp_(root_ / "tmp"),
      profile_(root_ / "profile"),
      extension_(root_ / "extension"),
      log_(root_ / "browser.log"),
      companionMarker_(root_ / "companion-started") {
  fs::create_directories(home_);
  fs::create_directories(tmp_);
  fs::create_directories(profile_);
  fs::copy(TestExtension::sourceDir(), extension_, fs::copy_options::recursive);
  {
    json::Ordered run = json::Ordered::object();
    if (settings.disconnectOn) run["disconnectOn"] = *settings.disconnectOn;
    std::ofstream(extension_ / "run.json") << run.dump() << "\n";
  }

  bus_ = std::make_unique<PrivateBus>();
  bus_->writeService(companionName, std::string(QUILLBEAM_NAME_OWNER_PATH) + " " + companionName +
                                        " " + companionMarker_.string());
  listener_ = std::make_unique<BusListener>(bus_->address());
  listener_->subscribe(CompanionNotification::browserState);

  // The host is registered the way a user does it, for this one profile.
  const auto registered =
      runProgram({QUILLBEAM_REGISTER_PATH,
                  {"--user-data-dir", profile_.string(), "--bridge", bridgeExecutable().string(),
                   "--extension-id", std::string(TestExtension::id)},
                  {{"HOME", home_.string()}, {"PATH", "/usr/bin:/bin"}},
                  std::nullopt});
  if (registered.exitCode != 0) {
    throw std::runtime_error("quillbeam-register failed: " + registered.out + registered.err);
  }
}

BrowserRun::~BrowserRun() {
  // The browser (and the bridge it started) goes before the bus it talks to.
  browser_.reset();
  listener_.reset();
  bus_.reset();
}

void BrowserRun::startBrowser() {
  std::string lookedAt;
  const auto binary = Chromium::find(&lookedAt);
  if (!binary) {
    throw BrowserUnavailable("Chromium is not installed (looked for " + lookedAt +
                             "); install the Debian package chromium or set "
                             "QUILLBEAM_E2E_CHROMIUM");
  }
  try {
    browser_ = std::make_unique<Chromium>(
        Chromium::Options{*binary, profile_, extension_, home_, tmp_, log_, bus_->address()});
  } catch (const std::exception& error) {
    throw BrowserUnavailable(error.what());
  }
}

std::optional<pid_t> BrowserRun::waitForHost(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (auto host = browser_->childRunning(bridgeExecutable())) return host;
    if (browser_->exited()) {
      throw BrowserUnavailable("Chromium ended with status " +
                               std::to_string(browser_->exitStatus()) +
                               " before it started the host; its log ends:\n" + browserLogTail());
    }
    std::this_thread::sleep_for(pollInterval);
  }
  return std::nullopt;
}

fs::path BrowserRun::linkPath() const {
  return home_ / "Library" / "Application Support" / "Quillbeam" / "browser-link.json";
}

std::optional<BrowserLink> BrowserRun::link() const {
  return SharedFiles::readLink(linkPath());
}

std::optional<BrowserLink> BrowserRun::waitForLink(
    const std::function<bool(const BrowserLink&)>& accept, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  do {
    if (auto record = link(); record && accept(*record)) return record;
    std::this_thread::sleep_for(pollInterval);
  } while (Clock::now() < deadline);
  return std::nullopt;
}

std::optional<BrowserLink> BrowserRun::waitForSession(std::string_view id,
                                                      std::chrono::milliseconds timeout) {
  return waitForLink([id](const BrowserLink& l) { return l.session && l.session->id == id; },
                     timeout);
}

void BrowserRun::emitCommand(std::string_view json) {
  listener_->emit(CompanionNotification::command,
                  std::map<std::string, std::string>{{"json", std::string(json)}});
}

std::optional<pid_t> BrowserRun::companionPid() const {
  std::ifstream in(companionMarker_);
  std::string line;
  if (!std::getline(in, line) || !line.starts_with("pid=")) return std::nullopt;
  return static_cast<pid_t>(std::stol(line.substr(4)));
}

std::string BrowserRun::bridgeDiagnostics() const {
  std::ifstream in(log_);
  std::string lines;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("quillbeam-bridge: ")) lines += line + "\n";
  }
  return lines;
}

std::string BrowserRun::browserLogTail() const {
  return browser_ ? browser_->logTail(25) : std::string();
}

}  // namespace quillbeam::testing
