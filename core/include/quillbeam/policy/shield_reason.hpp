#pragma once

#include <iosfwd>
#include <string_view>

namespace quillbeam {

// Why an app is shielded.
enum class ShieldReason {
  // The app is on the user's blocked-app list.
  distractingApp,
  // A catalog browser other than the study browser, while other browsers are blocked.
  otherBrowser,
  // The study browser, while the extension is unhealthy in a strict or lockdown session.
  extensionOff,
};

// The case name: "distractingApp", "otherBrowser", "extensionOff".
std::string_view name(ShieldReason reason);
std::ostream& operator<<(std::ostream& out, ShieldReason reason);

}  // namespace quillbeam
