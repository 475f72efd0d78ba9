#include "registration_plan.hpp"

#include <algorithm>

#include "browser_table.hpp"

namespace quillbeam::Register {
namespace {

namespace fs = std::filesystem;

bool isDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

const char sandboxReason[] =
    "skipped: a browser installed as a %s runs in a sandbox and cannot start a native "
    "messaging host outside it; install %s from your distribution's or the vendor's "
    "packages to use it with Quillbeam";

std::string sandboxSkip(std::string_view kind, std::string_view browser) {
  std::string text = sandboxReason;
  text.replace(text.find("%s"), 2, kind);
  text.replace(text.find("%s"), 2, browser);
  return text;
}

// One skip line per sandboxed install of `browser` found in the home folder.
std::vector<Step> sandboxedInstalls(const BrowserLocation& browser,
                                    const Environment& environment) {
  std::vector<Step> found;
  if (!browser.flatpakID.empty() &&
      isDirectory(environment.home / ".var" / "app" / browser.flatpakID)) {
    found.push_back(Step::skipped(std::string(browser.displayName) + " (Flatpak)",
                                  sandboxSkip("Flatpak", browser.displayName)));
  }
  if (!browser.snapName.empty() && isDirectory(environment.home / "snap" / browser.snapName)) {
    found.push_back(Step::skipped(std::string(browser.displayName) + " (Snap)",
                                  sandboxSkip("Snap", browser.displayName)));
  }
  return found;
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
  for (const auto& browser : browserLocations()) {
    const bool explicitly = chosen(options, browser);
    if (!options.browsers.empty() && !explicitly) continue;
    const fs::path profile = environment.configHome / browser.configFolder;
    // A browser installed from packages but never started has no profile yet; its folder
    // is made now and the browser fills in the rest on first start.
    const bool detected =
        isDirectory(profile) || (!options.uninstall && installed(browser, environment));
    // Removal never touches sandboxes: nothing was ever written there.
    std::vector<Step> sandboxes =
        options.uninstall ? std::vector<Step>{} : sandboxedInstalls(browser, environment);
    const bool onlySandboxed = !detected && !sandboxes.empty();

    if (detected || (explicitly && !onlySandboxed)) {
      plan.steps.push_back(Step::target(std::string(browser.displayName),
                                        manifestIn(profile / "NativeMessagingHosts")));
      found = true;
    }
    for (auto& sandbox : sandboxes) {
      // Asked for by name and not installed any other way: nothing the user wanted is done.
      sandbox.failed = explicitly && onlySandboxed;
      plan.steps.push_back(std::move(sandbox));
    }
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
