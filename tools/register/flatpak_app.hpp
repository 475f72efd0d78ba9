#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "browser_table.hpp"
#include "environment.hpp"

namespace quillbeam::Register {

// The launcher's file name: what the browser starts, inside its sandbox.
inline constexpr char launcherFileName[] = "quillbeam_bridge-on-host";

// A browser installed as a Flatpak, and the files this tool keeps for it. Everything lies
// under ~/.var/app/<id>, the one folder of the user's that the sandbox always sees at the
// same path.
struct FlatpakApp {
  std::string id;
  // The installation it runs from (holding app/<id>), and whether that is the system's.
  std::filesystem::path installation;
  bool systemInstallation = false;
  // ~/.var/app/<id>.
  std::filesystem::path appFolder;
  // The manifest in the profile folder the sandboxed browser reads.
  std::filesystem::path manifest;
  // A folder of this tool's own, holding the launcher and, when this tool gave the
  // browser its permission to start host programs, the marker that says so.
  std::filesystem::path toolFolder;
  std::filesystem::path launcher;
  std::filesystem::path grantMarker;
  // Whether the browser may already start host programs (talk to org.freedesktop.Flatpak).
  bool mayStartHostPrograms = false;
};

// The Flatpak install of `browser` (the user's installation first, as `flatpak run` picks
// it), or nothing when it has none.
std::optional<FlatpakApp> findFlatpak(const BrowserLocation& browser,
                                      const Environment& environment);

// The files for `browser`'s Flatpak whether or not it is installed (for removal); its
// installation is then unknown and it is taken not to have the permission.
FlatpakApp flatpakFiles(const BrowserLocation& browser, const Environment& environment);

}  // namespace quillbeam::Register
