#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/dbus/marshal.hpp"
#include "quillbeam/policy/shield_reason.hpp"

namespace quillbeam::companion {

// One running app as the companion reports it: who it is, whether it is paused, and the
// policy's verdict ("why is this paused?").
struct AppListing {
  std::string bundleID;  // the catalog's identifier, or the app's Linux ID
  std::string name;
  std::string linuxId;
  bool paused = false;
  std::optional<ShieldReason> shield;  // absent: allowed
  // Shielded, but left running: the extension runs in it.
  bool spared = false;
  friend bool operator==(const AppListing&, const AppListing&) = default;
};

// The bus form: a(sssbss), each (bundle ID, name, Linux ID, paused, "allow", "shield" or
// "spare", the reason's name or ""). A reader that knows no "spare" takes it for allow.
inline constexpr std::string_view kAppListingSignature = "a(sssbss)";
void writeListings(platform::dbus::Writer& out, const std::vector<AppListing>& apps);
// Throws platform::dbus::ProtocolError on a body of another shape.
std::vector<AppListing> readListings(platform::dbus::Reader& in);

// The verdict in plain words: "allowed", "paused: on your blocked list", ...
std::string verdictText(const AppListing& app);

}  // namespace quillbeam::companion
