#include "flatpak_registration.hpp"

#include <unistd.h>

#include <cerrno>

#include <system_error>

#include "flatpak_override.hpp"
#include "flatpak_permission.hpp"
#include "manifest_file.hpp"

namespace quillbeam::Register {
namespace {

namespace fs = std::filesystem;

const char markerText[] =
    "quillbeam-register gave this app its permission to talk to org.freedesktop.Flatpak;\n"
    "quillbeam-register --uninstall takes it back.\n";

std::string permissionChange(const FlatpakApp& app, bool grant, bool dryRun) {
  const std::string command = commandLine(hostProgramsOverride(app.id, grant));
  return std::string(grant ? (dryRun ? "would give it" : "gave it")
                           : (dryRun ? "would take back its" : "took back its")) +
         " permission to talk to " + hostCommandBusName + " (" + command + ")";
}

bool present(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

}  // namespace

std::string registerFlatpak(const FlatpakApp& app, const FlatpakFilesText& files, bool dryRun) {
  const bool grant = !app.mayStartHostPrograms;
  if (grant && !dryRun) {
    // Marked first: a permission given without the mark would never be taken back.
    writeManifest(app.grantMarker, markerText, false);
    try {
      runCommand(hostProgramsOverride(app.id, true));
    } catch (...) {
      std::error_code ec;
      fs::remove(app.grantMarker, ec);
      removeEmptyFolders(app.toolFolder, app.appFolder.parent_path().parent_path());
      throw;
    }
  }
  const WriteOutcome launcher = writeManifest(app.launcher, files.launcher, dryRun, 0755);
  const WriteOutcome manifest = writeManifest(app.manifest, files.manifest, dryRun);
  const std::string path = app.manifest.string();
  if (!grant && launcher == WriteOutcome::unchanged && manifest == WriteOutcome::unchanged) {
    return "already registered " + path;
  }
  return (dryRun ? "would register " : "registered ") + path + ", started by " +
         app.launcher.string() + (grant ? "; " + permissionChange(app, true, dryRun) : "");
}

std::string unregisterFlatpak(const FlatpakApp& app, bool dryRun) {
  const bool granted = present(app.grantMarker);
  if (granted && !dryRun) {
    runCommand(hostProgramsOverride(app.id, false));
    if (::unlink(app.grantMarker.c_str()) != 0 && errno != ENOENT) {
      throw std::system_error(errno, std::generic_category(),
                              "removing " + app.grantMarker.string());
    }
  }
  // Both go, whichever is there.
  const bool manifestRemoved = removeManifest(app.manifest, dryRun) == RemoveOutcome::removed;
  const bool launcherRemoved = removeManifest(app.launcher, dryRun) == RemoveOutcome::removed;
  const bool removed = manifestRemoved || launcherRemoved;
  if (!dryRun) {
    // Folders made for the files go with them, up to ~/.var when nothing else is there;
    // Flatpak makes them again as it needs them, and a browser's own are never empty.
    const auto dotVar = app.appFolder.parent_path().parent_path();
    removeEmptyFolders(app.manifest.parent_path(), dotVar);
    removeEmptyFolders(app.toolFolder, dotVar);
  }
  std::string text;
  if (removed)
    text = (dryRun ? "would remove " : "removed ") + app.manifest.string() + " and its launcher";
  if (granted) {
    text += (removed ? "; " : "") + permissionChange(app, false, dryRun);
  } else if (removed && app.mayStartHostPrograms) {
    text += std::string("; it keeps its permission to talk to ") + hostCommandBusName +
            ", which quillbeam-register did not give";
  }
  return text.empty() ? "not registered" : text;
}

}  // namespace quillbeam::Register
