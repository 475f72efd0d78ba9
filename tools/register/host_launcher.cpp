#include "host_launcher.hpp"

#include "shell_word.hpp"

namespace quillbeam::Register {

std::string launcherText(const std::filesystem::path& bridge) {
  // --watch-bus: should the browser kill the launcher, the bridge on the host ends with it.
  // The bridge then runs beside the sandbox, not below the browser: FLATPAK_ID, which the
  // sandbox sets, tells the companion which app it serves, so that it never pauses it.
  return "#!/bin/sh\n"
         "# Written by quillbeam-register for a browser in a Flatpak sandbox: starts the\n"
         "# Quillbeam bridge outside the sandbox. quillbeam-register --uninstall removes it.\n"
         "exec flatpak-spawn --watch-bus --host --env=QUILLBEAM_BROWSER_APP=\"$FLATPAK_ID\" " +
         shellWord(bridge.string()) + " \"$@\"\n";
}

}  // namespace quillbeam::Register
