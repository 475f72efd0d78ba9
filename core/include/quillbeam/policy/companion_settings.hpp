#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/policy/blocked_app.hpp"

namespace quillbeam {

// The user's configuration of desktop shielding.
struct CompanionSettings {
  // Bundle identifier of the browser in which the user works with the extension.
  std::string studyBrowser;
  bool blockOtherBrowsers;
  bool guardExtension;
  std::vector<BlockedApp> blockedApps;
  // Stored only; no rule reads it.
  bool onboarded;

  // An absent `blockedApps` gives defaultBlockedApps(); a given list, even an empty one,
  // is kept as it is.
  CompanionSettings(std::string studyBrowser, bool blockOtherBrowsers, bool guardExtension,
                    std::optional<std::vector<BlockedApp>> blockedApps, bool onboarded);

  // A new user's settings: study browser "com.google.Chrome", other browsers blocked,
  // extension guarded, the default blocked list, not onboarded. Built once.
  static const CompanionSettings& defaults();

  // One entry per bundle identifier of every catalog distraction that is blocked by
  // default, in catalog order (29 entries). Built once.
  static const std::vector<BlockedApp>& defaultBlockedApps();

  // Whether some blocked entry has exactly this bundle identifier.
  bool isBlocked(std::string_view bundleID) const;

  // The identifiers that count as the study browser: the whole catalog family of
  // `studyBrowser`, or `studyBrowser` alone when no catalog browser lists it.
  std::vector<std::string> studyBrowserIDs() const;

  // All five keys are required; nothing takes a default.
  static CompanionSettings fromJson(const json::Value& value);
  json::Ordered toJson() const;

  friend bool operator==(const CompanionSettings&, const CompanionSettings&) = default;
};

}  // namespace quillbeam
