#include "registration_plan.hpp"

#include <algorithm>

#include "browser_table.hpp"
#include "flatpak_override.hpp"
#include "flatpak_permission.hpp"

namespace quillbeam::Register {
namespace {

namespace fs = std::filesystem;

bool isDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool present(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// Strict confinement lets a snap start only programs inside it; no Snap interface opens
// that to a program installed outside, so no manifest can help.
std::string snapReason(const BrowserLocation& browser) {
  const std::string name(browser.displayName);
  std::string text = "skipped: the Snap's confinement lets " + name +
                     " start only programs that come inside the snap, so it cannot start the "
                     "bridge, which is installed outside it, and no Snap permission changes "
                     "that; to use " +
                     name +
                     " with Quillbeam, install it from your distribution's or the vendor's "
                     "packages";
  if (!browser.flatpakID.empty()) {
    text += ", or as a Flatpak (flatpak install flathub " + std::string(browser.flatpakID) + ")";
  }
  return text + ", then run quillbeam-register again";
}

std::string consentReason(const BrowserLocation& browser, const FlatpakApp& app) {
  const std::string name(browser.displayName);
  return "not registered: in its Flatpak sandbox " + name +
         " can start the bridge only through flatpak-spawn --host, which needs its permission "
         "to talk to " +
         hostCommandBusName + ", and that permission lets " + name +
         " run any program on this computer as you, outside the sandbox. If you accept that, "
         "run quillbeam-register again with " +
         letFlatpakOption +
         ", or give the permission yourself and run quillbeam-register again:\n    " +
         commandLine(hostProgramsOverride(app.id, true));
}

// The Flatpak of `browser` to work on: the installed one, or for removal one where this
// tool left files even if the browser has gone since.
std::optional<FlatpakApp> flatpakOf(const BrowserLocation& browser, const Options& options,
                                    const Environment& environment) {
  auto app = findFlatpak(browser, environment);
  if (app || !options.uninstall || browser.flatpakID.empty()) return app;
  FlatpakApp files = flatpakFiles(browser, environment);
  if (isDirectory(files.toolFolder) || present(files.manifest)) return files;
  return std::nullopt;
}

fs::path manifestIn(const fs::path& hostsFolder) {
  return hostsFolder / manifestFileName;
}

bool chosen(const Options& options, const BrowserLocation& browser) {
  return std::find(options.browsers.begin(), options.browsers.end(), browser.option) !=
         options.browsers.end();
}

bool installed(const BrowserLocation& browser, const Environment& environment) {
  return std::any_of(
      browser.installFolders.begin(), browser.installFolders.end(),
      [&](std::string_view folder) { return isDirectory(environment.systemPath(folder)); });
}

// A system folder's parent (/etc/chromium) shows the browser is set up for all users.
bool installedSystemWide(const BrowserLocation& browser, const Environment& environment) {
  return installed(browser, environment) ||
         isDirectory(environment.systemPath(browser.systemFolder).parent_path());
}

void planSystem(const Options& options, const Environment& environment, Plan& plan) {
  std::vector<std::string_view> folders;
  for (const auto& browser : browserLocations()) {
    const bool explicitly = chosen(options, browser);
    if (!options.browsers.empty() && !explicitly) continue;
    if (browser.systemFolder.empty()) {
      if (explicitly) {
        plan.steps.push_back(
            Step::skipped(std::string(browser.displayName),
                          "skipped: " + std::string(browser.displayName) +
                              " has no folder for all users; run without --system to register it "
                              "for your own user",
                          !options.uninstall));
      }
      continue;
    }
    if (std::find(folders.begin(), folders.end(), browser.systemFolder) != folders.end()) continue;
    if (!explicitly && !options.uninstall && !installedSystemWide(browser, environment)) continue;
    folders.push_back(browser.systemFolder);
    plan.steps.push_back(Step::target(std::string(browser.catalogName) + " (all users)",
                                      manifestIn(environment.systemPath(browser.systemFolder))));
  }
  if (plan.steps.empty() && options.browsers.empty() && !options.uninstall) {
    plan.searchedWithoutResult = environment.systemRoot;
  }
}

void planPerUser(const Options& options, const Environment& environment, Plan& plan) {
  bool found = false;
  std::vector<size_t> refusals;
  for (const auto& browser : browserLocations()) {
    const bool explicitly = chosen(options, browser);
    if (!options.browsers.empty() && !explicitly) continue;
    const std::string name(browser.displayName);
    const bool hasFolder = !browser.configFolder.empty();
    const fs::path profile = environment.configHome / browser.configFolder;
    // A browser installed from packages but never started has no profile yet; its folder
    // is made now and the browser fills in the rest on first start.
    const bool detected = hasFolder && (isDirectory(profile) ||
                                        (!options.uninstall && installed(browser, environment)));
    const auto flatpak = flatpakOf(browser, options, environment);
    // Removal never touches a snap: nothing was ever written there.
    const bool snap = !options.uninstall && !browser.snapName.empty() &&
                      isDirectory(environment.home / "snap" / browser.snapName);

    if (detected || (explicitly && hasFolder && !flatpak && !snap)) {
      plan.steps.push_back(Step::target(name, manifestIn(profile / "NativeMessagingHosts")));
      found = true;
    }
    if (flatpak) {
      found = true;
      if (options.uninstall || flatpak->mayStartHostPrograms || options.letFlatpakRunHostPrograms) {
        plan.steps.push_back(Step::flatpakTarget(name + " (Flatpak)", *flatpak));
      } else {
        refusals.push_back(plan.steps.size());
        plan.steps.push_back(
            Step::skipped(name + " (Flatpak)", consentReason(browser, *flatpak), explicitly));
      }
    } else if (explicitly && !hasFolder) {
      plan.steps.push_back(Step::skipped(
          name,
          "skipped: found no Flatpak of it (" + std::string(browser.flatpakID) +
              "); installed from other packages it uses Chromium's folders: --browser chromium",
          !options.uninstall));
    }
    if (snap) {
      // Asked for by name and not installed any other way: nothing the user wanted is done.
      plan.steps.push_back(Step::skipped(name + " (Snap)", snapReason(browser),
                                         explicitly && !detected && !flatpak));
    }
  }
  // Nothing could be registered at all: then a refusal is a failure too.
  if (std::none_of(plan.steps.begin(), plan.steps.end(),
                   [](const Step& step) { return step.manifest.has_value(); })) {
    for (size_t at : refusals) plan.steps[at].failed = true;
  }
  if (!found && options.browsers.empty()) plan.searchedWithoutResult = environment.configHome;
}

}  // namespace

Plan planSteps(const Options& options, const Environment& environment) {
  Plan plan;
  for (const auto& dir : options.userDataDirs) {
    std::error_code ec;
    fs::path absolute = fs::absolute(dir, ec);
    if (ec) absolute = dir;
    absolute = absolute.lexically_normal();
    if (absolute.filename().empty() && absolute.has_relative_path())
      absolute = absolute.parent_path();
    plan.steps.push_back(
        Step::target(absolute.string(), manifestIn(absolute / "NativeMessagingHosts")));
  }
  if (options.system) {
    planSystem(options, environment, plan);
  } else if (options.userDataDirs.empty() || !options.browsers.empty()) {
    planPerUser(options, environment, plan);
  }
  return plan;
}

}  // namespace quillbeam::Register
