#include "companion_command.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>

#include "companion/app_discovery.hpp"
#include "companion/app_listing.hpp"
#include "companion/app_names.hpp"
#include "companion/cgroup_tree.hpp"
#include "companion/companion_interface.hpp"
#include "companion/companion_paths.hpp"
#include "companion/decision.hpp"
#include "companion/freezer.hpp"
#include "companion/overrides.hpp"
#include "companion/pause_record.hpp"
#include "companion/settings_file.hpp"
#include "exit_status.hpp"
#include "quillbeam/policy/app_catalog.hpp"
#include "quillbeam/policy/bridge_alive.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "session_bus_access.hpp"

namespace quillbeam::cli {
namespace {

namespace dbus = platform::dbus;
using namespace companion;

// A call to a companion that is not running must not start one.
constexpr uint8_t kNoAutoStart = 0x2;
constexpr std::chrono::milliseconds kCallTimeout{5000};

// Calls the running companion; absent when none runs or it does not answer.
std::optional<dbus::Message> callCompanion(const char* member, std::string signature = "",
                                           std::string body = "") {
  std::string problem;
  auto platform = openSessionBus(problem);
  auto* connection = platform->sessionBus().get();
  if (connection == nullptr) return std::nullopt;
  auto call = dbus::Message::methodCall(bus::kName, bus::kPath, bus::kInterface, member);
  call.flags |= kNoAutoStart;
  call.signature = std::move(signature);
  call.body = std::move(body);
  auto reply = connection->callAndWait(std::move(call), kCallTimeout);
  if (!reply || reply->type != dbus::MessageType::MethodReturn) return std::nullopt;
  return reply;
}

// Tells a running companion to read its files again.
void reloadCompanion() {
  callCompanion("Reload");
}

std::string clockText(Date at) {
  const std::time_t seconds = static_cast<std::time_t>(at.ms() / 1000);
  std::tm local{};
  char text[16] = "";
  localtime_r(&seconds, &local);
  std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

// The apps as the companion would judge them now, when it does not run.
std::vector<AppListing> judgeHere() {
  auto found = findCgroupTree();
  std::optional<CgroupTree> tree;
  if (auto* problem = std::get_if<std::string>(&found)) {
    std::cout << "(" << *problem << ": only apps found by their executable are listed)\n";
  } else {
    tree = std::get<CgroupTree>(std::move(found));
  }
  const auto apps = AppDiscovery(tree).scan();
  std::vector<AppIdentity> identities;
  for (const auto& app : apps) identities.push_back(AppIdentity{app.bundleID, app.name});
  SettingsSource settings(paths::settingsFile());
  settings.reload();
  Overrides overrides;
  try {
    overrides = readOverrides(paths::overridesFile());
  } catch (const std::exception&) {
  }
  const Decision decision = decide(
      identities, DecisionInputs{SharedFiles::readLink(SharedFiles::browserLink()),
                                 settings.settings(), overrides, Date::now(), Health::bridgeAlive});
  std::vector<AppListing> out;
  for (size_t i = 0; i < apps.size(); ++i) {
    out.push_back(AppListing{apps[i].bundleID, apps[i].name, apps[i].linuxId, apps[i].paused,
                             decision.verdicts[i].reason()});
  }
  return out;
}

int showApps() {
  std::vector<AppListing> apps;
  if (auto reply = callCompanion("ListApps")) {
    auto in = reply->bodyReader();
    apps = readListings(in);
  } else {
    std::cout << "The companion is not running; verdicts as it would judge now.\n";
    apps = judgeHere();
  }
  size_t nameWidth = 4, idWidth = 2;
  for (const auto& app : apps) {
    nameWidth = std::max(nameWidth, app.name.size());
    idWidth = std::max(idWidth, app.bundleID.size());
  }
  std::cout << std::left << std::setw(int(nameWidth) + 2) << "NAME" << std::setw(int(idWidth) + 2)
            << "ID" << std::setw(9) << "STATE"
            << "VERDICT\n";
  for (const auto& app : apps) {
    std::cout << std::setw(int(nameWidth) + 2) << app.name << std::setw(int(idWidth) + 2)
              << app.bundleID << std::setw(9) << (app.paused ? "paused" : "running")
              << verdictText(app) << "\n";
  }
  if (apps.empty()) std::cout << "No desktop apps found.\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

int allow(const CompanionRequest& request) {
  const NamedApp app = resolveApp(request.app);
  std::string body;
  dbus::Writer out(body);
  out.string(request.app);
  out.uint32(static_cast<uint32_t>(request.minutes));
  Date until = Date::now() + static_cast<double>(request.minutes) * 60.0;
  if (auto reply = callCompanion("Allow", "su", body)) {
    until = Date::fromMs(reply->bodyReader().int64());
  } else {
    Overrides overrides;
    try {
      overrides = readOverrides(paths::overridesFile());
    } catch (const std::exception& error) {
      complain(std::string(error.what()) + "; starting it afresh");
    }
    for (const auto& id : app.bundleIDs) overrides.allowances[id] = until;
    writeOverrides(paths::overridesFile(), overrides, Date::now());
  }
  std::cout << app.name << " is allowed until " << clockText(until) << ".\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

int changeBlocked(const CompanionRequest& request) {
  const auto file = paths::settingsFile();
  CompanionSettings settings = readSettings(file);
  const NamedApp app = resolveApp(request.app);
  auto& blocked = settings.blockedApps;
  size_t changed = 0;
  if (request.action == CompanionRequest::Action::block) {
    for (const auto& id : app.bundleIDs) {
      if (settings.isBlocked(id)) continue;
      blocked.push_back(BlockedApp{app.name, id});
      ++changed;
    }
  } else {
    changed = std::erase_if(blocked, [&](const BlockedApp& entry) {
      return std::find(app.bundleIDs.begin(), app.bundleIDs.end(), entry.bundleID) !=
             app.bundleIDs.end();
    });
  }
  const bool blocking = request.action == CompanionRequest::Action::block;
  if (changed == 0) {
    std::cout << app.name << (blocking ? " is already blocked.\n" : " is not blocked.\n");
    return std::cout.flush() ? exitSuccess : exitFailure;
  }
  writeSettings(file, settings);
  reloadCompanion();
  std::cout << app.name
            << (blocking ? " is paused during focus sessions (" : " is no longer paused (")
            << joined(app.bundleIDs) << ").\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

std::string browserName(std::string_view id) {
  const KnownApp* browser = AppCatalog::browser(id);
  return browser ? browser->name + " (" + std::string(id) + ")" : std::string(id);
}

int settingsCommand(const CompanionRequest& request) {
  const auto file = paths::settingsFile();
  CompanionSettings settings = readSettings(file);
  const bool change = request.studyBrowser || request.blockOtherBrowsers || request.guardExtension;
  if (change) {
    if (request.studyBrowser) {
      const NamedApp browser = resolveApp(*request.studyBrowser);
      settings.studyBrowser = browser.bundleIDs.front();
    }
    if (request.blockOtherBrowsers) settings.blockOtherBrowsers = *request.blockOtherBrowsers;
    if (request.guardExtension) settings.guardExtension = *request.guardExtension;
    writeSettings(file, settings);
    reloadCompanion();
  }
  std::cout << "Settings:        " << file.string() << "\n"
            << "Study browser:   " << browserName(settings.studyBrowser) << "\n"
            << "Other browsers:  "
            << (settings.blockOtherBrowsers ? "paused during a session" : "allowed") << "\n"
            << "Extension guard: "
            << (settings.guardExtension ? "on (strict and lockdown sessions)" : "off") << "\n"
            << "Blocked apps:   ";
  std::vector<std::string> names;
  for (const auto& app : settings.blockedApps) {
    if (std::find(names.begin(), names.end(), app.name) == names.end()) names.push_back(app.name);
  }
  std::cout << (names.empty() ? " none" : " " + joined(names)) << "\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

int resumeAll() {
  size_t resumed = 0;
  if (auto reply = callCompanion("ResumeAll")) {
    resumed = reply->bodyReader().uint32();
  } else {
    // No companion: resume what its record holds, and keep it from pausing them again in
    // this session when it starts.
    const auto record = paths::pauseRecord();
    std::vector<PausedApp> left;
    for (const auto& app : PauseRecord::read(record)) {
      const ShieldResult result = companion::resume(app.target);
      if (result.status == ShieldResult::Status::refused) {
        complain("could not resume " + app.name + ": " + result.error);
        left.push_back(app);
      } else {
        ++resumed;
      }
    }
    PauseRecord::write(record, left);
    const auto link = SharedFiles::readLink(SharedFiles::browserLink());
    if (auto session = Health::effectiveSession(link, Date::now(), std::nullopt)) {
      Overrides overrides;
      try {
        overrides = readOverrides(paths::overridesFile());
      } catch (const std::exception&) {
      }
      overrides.dismissedSession = session->id;
      writeOverrides(paths::overridesFile(), overrides, Date::now());
    }
    if (!left.empty()) {
      std::cout << "Resumed " << resumed << " app(s); " << left.size() << " could not be.\n";
      return exitFailure;
    }
  }
  std::cout << "Resumed " << resumed << " app(s).\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

}  // namespace

int runCompanionCommand(const CompanionRequest& request) {
  using Action = CompanionRequest::Action;
  try {
    switch (request.action) {
      case Action::apps:
        return showApps();
      case Action::allow:
        return allow(request);
      case Action::block:
      case Action::unblock:
        return changeBlocked(request);
      case Action::settings:
        return settingsCommand(request);
      case Action::resumeAll:
        return resumeAll();
    }
  } catch (const std::exception& error) {
    complain(error.what());
  }
  return exitFailure;
}

}  // namespace quillbeam::cli
