#pragma once

#include <filesystem>
#include <string_view>

namespace quillbeam::Register {

// The parts of the process's surroundings that decide where manifests go.
struct Environment {
  std::filesystem::path home;
  // $XDG_CONFIG_HOME when it is an absolute path (as the XDG rules demand), else
  // <home>/.config; the browsers resolve their profile folders the same way.
  std::filesystem::path configHome;
  // Prefixed to every system folder: "/" normally, a scratch folder in tests
  // ($QUILLBEAM_REGISTER_SYSTEM_ROOT).
  std::filesystem::path systemRoot;
  // The user's and the system's Flatpak installations: $FLATPAK_USER_DIR, else
  // flatpak under $XDG_DATA_HOME (default ~/.local/share); $FLATPAK_SYSTEM_DIR, else
  // /var/lib/flatpak under systemRoot. Flatpak itself resolves them the same way.
  std::filesystem::path flatpakUserDir;
  std::filesystem::path flatpakSystemDir;
  // The folder of the running executable, where the installed bridge sits beside it.
  std::filesystem::path toolDirectory;

  static Environment fromProcess();

  // `absolute` ("/etc/...") under systemRoot.
  std::filesystem::path systemPath(std::string_view absolute) const;
};

}  // namespace quillbeam::Register
