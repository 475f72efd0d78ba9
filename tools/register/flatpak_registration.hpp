#pragma once

#include <string>

#include "flatpak_app.hpp"

namespace quillbeam::Register {

// What goes into a Flatpak browser's folder: the launcher script and the manifest that
// names it.
struct FlatpakFilesText {
  std::string launcher;
  std::string manifest;
};

// Registers the bridge with a browser in a Flatpak: gives the browser the permission to
// talk to org.freedesktop.Flatpak when it lacks it (the user has agreed by then), marking
// that this tool gave it, then writes the launcher and the manifest. Returns the report's
// text; throws on failure (a grant that could not be marked is never made).
std::string registerFlatpak(const FlatpakApp& app, const FlatpakFilesText& files, bool dryRun);

// Removes the manifest and the launcher, and takes the permission back when this tool's
// marker says it gave it (the marker stays when that fails, for the next attempt).
std::string unregisterFlatpak(const FlatpakApp& app, bool dryRun);

}  // namespace quillbeam::Register
