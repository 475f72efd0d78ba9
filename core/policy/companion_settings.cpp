#include "quillbeam/policy/companion_settings.hpp"

#include "quillbeam/policy/app_catalog.hpp"

namespace quillbeam {

CompanionSettings::CompanionSettings(std::string studyBrowser, bool blockOtherBrowsers,
                                     bool guardExtension,
                                     std::optional<std::vector<BlockedApp>> blockedApps,
                                     bool onboarded)
    : studyBrowser(std::move(studyBrowser)),
      blockOtherBrowsers(blockOtherBrowsers),
      guardExtension(guardExtension),
      blockedApps(blockedApps ? std::move(*blockedApps) : defaultBlockedApps()),
      onboarded(onboarded) {}

const CompanionSettings& CompanionSettings::defaults() {
  static const CompanionSettings settings("com.google.Chrome", true, true, std::nullopt, false);
  return settings;
}

const std::vector<BlockedApp>& CompanionSettings::defaultBlockedApps() {
  static const std::vector<BlockedApp> list = [] {
    std::vector<BlockedApp> out;
    for (const KnownApp& app : AppCatalog::distractions()) {
      if (!app.blockedByDefault) continue;
      for (const std::string& id : app.bundleIDs) out.push_back(BlockedApp{app.name, id});
    }
    return out;
  }();
  return list;
}

bool CompanionSettings::isBlocked(std::string_view bundleID) const {
  for (const BlockedApp& app : blockedApps) {
    if (app.bundleID == bundleID) return true;
  }
  return false;
}

std::vector<std::string> CompanionSettings::studyBrowserIDs() const {
  if (const KnownApp* family = AppCatalog::browser(studyBrowser)) return family->bundleIDs;
  return {studyBrowser};
}

CompanionSettings CompanionSettings::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  // Read in declaration order so that the first bad key is the one reported.
  std::string studyBrowser = r.required<std::string>("studyBrowser");
  bool blockOtherBrowsers = r.required<bool>("blockOtherBrowsers");
  bool guardExtension = r.required<bool>("guardExtension");
  std::vector<BlockedApp> blockedApps = r.required<std::vector<BlockedApp>>("blockedApps");
  bool onboarded = r.required<bool>("onboarded");
  return CompanionSettings(std::move(studyBrowser), blockOtherBrowsers, guardExtension,
                           std::move(blockedApps), onboarded);
}

json::Ordered CompanionSettings::toJson() const {
  json::Ordered j = json::Ordered::object();
  j["studyBrowser"] = studyBrowser;
  j["blockOtherBrowsers"] = blockOtherBrowsers;
  j["guardExtension"] = guardExtension;
  json::Ordered list = json::Ordered::array();
  for (const BlockedApp& app : blockedApps) list.push_back(app.toJson());
  j["blockedApps"] = std::move(list);
  j["onboarded"] = onboarded;
  return j;
}

}  // namespace quillbeam
