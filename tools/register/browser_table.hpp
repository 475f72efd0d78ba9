#pragma once

#include <span>
#include <string_view>

namespace quillbeam::Register {

// Where one Chromium-family browser on Linux looks for native messaging host manifests,
// and how a sandboxed install of it can be recognised.
struct BrowserLocation {
  // The value of --browser.
  std::string_view option;
  // Shown to the user, e.g. "Google Chrome Beta".
  std::string_view displayName;
  // The browser family as the app catalog names it ("Google Chrome" for every channel).
  std::string_view catalogName;
  // The profile folder under $XDG_CONFIG_HOME; manifests go in its NativeMessagingHosts.
  // Empty for a browser known only as a Flatpak (installed otherwise, it is another row).
  std::string_view configFolder;
  // The folder every user's browser reads, or empty when the vendor documents none.
  std::string_view systemFolder;
  // Folders whose presence shows the browser is installed from packages (any one of them).
  std::span<const std::string_view> installFolders;
  // The Flatpak application ID on Flathub, empty when there is none, and the profile
  // folder that Flatpak uses under ~/.var/app/<id>/config.
  std::string_view flatpakID;
  std::string_view flatpakConfigFolder;
  // The Snap name (~/snap/<name>), empty when there is none.
  std::string_view snapName;
};

// Every browser the tool knows, in the order it reports them.
std::span<const BrowserLocation> browserLocations();

// The browser whose --browser value is `option`, or nullptr.
const BrowserLocation* findBrowser(std::string_view option);

}  // namespace quillbeam::Register
