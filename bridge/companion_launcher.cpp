#include "companion_launcher.hpp"

#include "log.hpp"

namespace quillbeam::bridge {

namespace fs = std::filesystem;

CompanionLauncher::CompanionLauncher(const ProcessValues& values, platform::Workspace& workspace,
                                     std::optional<fs::path> executablePath)
    : values_(values), workspace_(workspace), executablePath_(std::move(executablePath)) {}

void CompanionLauncher::appBundleURL(
    std::function<void(std::optional<platform::AppLocation>)> found) const {
  if (executablePath_ && !executablePath_->empty()) {
    std::error_code ec;
    fs::path real = fs::weakly_canonical(fs::absolute(*executablePath_, ec), ec);
    if (ec) real = *executablePath_;
    // X.app/Contents/MacOS/X: three components up is the bundle itself.
    fs::path bundle = real.parent_path().parent_path().parent_path();
    if (bundle.extension() == ".app") {
      return found(platform::AppLocation{{platform::AppLocation::Bundle{bundle}}});
    }
  }
  workspace_.locate(values_.appBundleID, std::move(found));
}

void CompanionLauncher::ensureAppRunning() {
  workspace_.isRunning(values_.appBundleID, [this](bool running) {
    if (running) return;
    appBundleURL([this](std::optional<platform::AppLocation> app) {
      if (!app) return;
      workspace_.openInBackground(*app, [](std::optional<std::string> error) {
        if (error) log("couldn't launch Quillbeam: " + *error);
      });
    });
  });
}

}  // namespace quillbeam::bridge
