#include "companion_command.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>

#include "companion/companion_service.hpp"
#include "exit_status.hpp"
#include "quillbeam/policy/app_catalog.hpp"
#include "quillbeam/session/companion_notification.hpp"
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
  auto call = dbus::Message::methodCall(CompanionBus::name, CompanionBus::path,
                                        CompanionBus::interface, member);
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

// The companion in this process, for when none runs: it decides and edits as the running
// one does, and pauses nothing.
CompanionService localCompanion() {
  return CompanionService(CompanionFiles::fromEnvironment(), CompanionService::Mode::inspect,
                          nullptr, [](std::string_view line) { complain(line); });
}

int showApps() {
  std::vector<AppListing> apps;
  if (auto reply = callCompanion("ListApps")) {
    auto in = reply->bodyReader();
    apps = readListings(in);
  } else {
    std::cout << "The companion is not running; verdicts as it would judge now.\n";
    apps = localCompanion().apps();
  }
  size_t nameWidth = 4, idWidth = 2;
  for (const auto& app : apps) {
    nameWidth = std::max(nameWidth, app.name.size());
    idWidth = std::max(idWidth, app.linuxId.size());
  }
  std::cout << std::left << std::setw(int(nameWidth) + 2) << "NAME" << std::setw(int(idWidth) + 2)
            << "ID" << std::setw(9) << "STATE"
            << "VERDICT\n";
  for (const auto& app : apps) {
    std::cout << std::setw(int(nameWidth) + 2) << app.name << std::setw(int(idWidth) + 2)
              << app.linuxId << std::setw(9) << (app.paused ? "paused" : "running")
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
  Date until;
  if (auto reply = callCompanion("Allow", "su", body)) {
    until = Date::fromMs(reply->bodyReader().int64());
  } else {
    until = localCompanion().allow(request.app, static_cast<double>(request.minutes));
  }
  std::cout << app.name << " is allowed until " << clockText(until) << ".\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

int changeBlocked(const CompanionRequest& request) {
  const bool blocking = request.action == CompanionRequest::Action::block;
  auto companion = localCompanion();
  const BlockChange change =
      blocking ? companion.block(request.app) : companion.unblock(request.app);
  if (change.changed == 0) {
    std::cout << change.app.name << (blocking ? " is already blocked.\n" : " is not blocked.\n");
    return std::cout.flush() ? exitSuccess : exitFailure;
  }
  reloadCompanion();
  std::cout << change.app.name
            << (blocking ? " is paused during focus sessions (" : " is no longer paused (")
            << joined(change.app.bundleIDs) << ").\n";
  return std::cout.flush() ? exitSuccess : exitFailure;
}

std::string browserName(std::string_view id) {
  const KnownApp* browser = AppCatalog::browser(id);
  return browser ? browser->name + " (" + std::string(id) + ")" : std::string(id);
}

int settingsCommand(const CompanionRequest& request) {
  const SettingsChange change{request.studyBrowser, request.blockOtherBrowsers,
                              request.guardExtension};
  auto companion = localCompanion();
  const CompanionSettings settings = companion.settings(change);
  if (!change.empty()) reloadCompanion();
  std::cout << "Settings:        " << companion.settingsFile().string() << "\n"
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
  ResumeOutcome outcome;
  if (auto reply = callCompanion("ResumeAll")) {
    outcome.resumed = reply->bodyReader().uint32();
  } else {
    // No companion: resume what its record holds, and keep it from pausing them again in
    // this session when it starts.
    outcome = localCompanion().resumeAll();
  }
  if (!outcome.failed.empty()) {
    std::cout << "Resumed " << outcome.resumed << " app(s); " << outcome.failed.size()
              << " could not be: " << joined(outcome.failed) << ".\n";
    return exitFailure;
  }
  std::cout << "Resumed " << outcome.resumed << " app(s).\n";
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
    complain(error.what());  // CompanionError among them: a sentence for the user
  }
  return exitFailure;
}

}  // namespace quillbeam::cli
