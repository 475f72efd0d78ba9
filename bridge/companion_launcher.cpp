#include "companion_launcher.hpp"

#include "log.hpp"

namespace quillbeam::bridge {

namespace fs = std::filesystem;

CompanionLauncher::CompanionLauncher(const ProcessValues& values, platform::Workspace& workspace,
                                     std::optional<fs::path> executablePath)
    : values_(values), workspace_(workspace), executablePath_(std::move(executablePath)) {}

std::optional<platform::AppLocation> CompanionLauncher::appBundleURL() const {
  if (executablePath_ && !executablePath_->empty()) {
    std::error_code ec;
    fs::path real = fs::weakly_canonical(fs::absolute(*executablePath_, ec), ec);
    if (ec) real = *executablePath_;
    // X.app/Contents/MacOS/X: three components up is the bundle itself.
    fs::path bundle = real.parent_path().parent_path().parent_path();
    if (bundle.extension() == ".app")
      return platform::AppLocation{{platform::AppLocation::Bundle{bundle}}};
  }
  return workspace_.locate(values_.appBundleID);
}

void CompanionLauncher::ensureAppRunning() {
  if (workspace_.isRunning(values_.appBundleID)) return;
  auto app = appBundleURL();
  if (!app) return;
  workspace_.openInBackground(*app, [](std::optional<std::string> error) {
    if (error) log("couldn't launch Quillbeam: " + *error);
  });
}

}  // namespace quillbeam::bridge
