#include "shield_notice.hpp"

#include <ctime>

#include "quillbeam/policy/app_catalog.hpp"
#include "quillbeam/session/date.hpp"

namespace quillbeam::companion {
namespace {

std::string studyBrowserName(const CompanionSettings& settings) {
  const KnownApp* browser = AppCatalog::browser(settings.studyBrowser);
  return browser ? browser->name : settings.studyBrowser;
}

// An app's name as one shell word.
std::string shellName(const std::string& name) {
  return name.find_first_of(" \t'\"$`\\") == std::string::npos ? name : "\"" + name + "\"";
}

}  // namespace

std::string untilText(const SessionSnapshot& session) {
  if (!session.endsAt) return "until the session ends";
  const std::time_t at = static_cast<std::time_t>(*session.endsAt / 1000);
  std::tm local{};
  char clock[16] = "";
  if (localtime_r(&at, &local) == nullptr ||
      std::strftime(clock, sizeof clock, "%H:%M", &local) == 0) {
    return "until the session ends";
  }
  return std::string("until ") + clock;
}

ShieldNotice shieldNotice(const std::string& appName, ShieldReason reason,
                          const SessionSnapshot& session, const CompanionSettings& settings) {
  const std::string until = untilText(session);
  const std::string focus = "your focus session \u201c" + session.goal + "\u201d";
  switch (reason) {
    case ShieldReason::distractingApp:
      return {appName + " is paused", appName + " is on your blocked list during " + focus +
                                          ". Paused " + until + "; quillbeam allow \"" + appName +
                                          "\" lets it run for a while."};
    case ShieldReason::otherBrowser:
      return {appName + " is paused", "Only " + studyBrowserName(settings) +
                                          " is for browsing during " + focus + ". Paused " + until +
                                          "."};
    case ShieldReason::extensionOff:
      return {"Turn the Quillbeam extension back on in " + appName,
              "Y" + focus.substr(1) + " guards the extension " + until + ". " + appName +
                  " stays usable so that you can turn it back on."};
  }
  return {appName + " is paused", focus};
}

ShieldNotice sparedNotice(const std::string& appName, ShieldReason reason,
                          const SessionSnapshot& session, const CompanionSettings& settings) {
  const std::string focus = "your focus session \u201c" + session.goal + "\u201d";
  const std::string why =
      reason == ShieldReason::distractingApp
          ? " is on your blocked list during " + focus
          : " is not your study browser (" + studyBrowserName(settings) + " is) during " + focus;
  const std::string fix = reason == ShieldReason::distractingApp
                              ? "quillbeam unblock " + shellName(appName)
                              : "quillbeam settings --study-browser " + shellName(appName);
  return {appName + " is left running",
          appName + why + ", but the Quillbeam extension runs in it, so it is not paused. To " +
              "browse in it without this notice: " + fix + "."};
}

}  // namespace quillbeam::companion
