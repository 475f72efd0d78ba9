#include "flatpak_app.hpp"

#include "flatpak_permission.hpp"
#include "registration_plan.hpp"

namespace quillbeam::Register {

namespace fs = std::filesystem;

FlatpakApp flatpakFiles(const BrowserLocation& browser, const Environment& environment) {
  FlatpakApp app;
  app.id = browser.flatpakID;
  app.appFolder = environment.home / ".var" / "app" / app.id;
  app.manifest = app.appFolder / "config" / browser.flatpakConfigFolder / "NativeMessagingHosts" /
                 manifestFileName;
  app.toolFolder = app.appFolder / "quillbeam";
  app.launcher = app.toolFolder / launcherFileName;
  app.grantMarker = app.toolFolder / "granted-host-programs";
  return app;
}

std::optional<FlatpakApp> findFlatpak(const BrowserLocation& browser,
                                      const Environment& environment) {
  if (browser.flatpakID.empty()) return std::nullopt;
  for (const bool system : {false, true}) {
    const fs::path installation =
        system ? environment.flatpakSystemDir : environment.flatpakUserDir;
    std::error_code ec;
    if (!fs::is_directory(installation / "app" / browser.flatpakID, ec)) continue;
    FlatpakApp app = flatpakFiles(browser, environment);
    app.installation = installation;
    app.systemInstallation = system;
    app.mayStartHostPrograms = mayStartHostPrograms(app, environment);
    return app;
  }
  return std::nullopt;
}

}  // namespace quillbeam::Register
