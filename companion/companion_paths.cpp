#include "companion_paths.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::companion::paths {
namespace fs = std::filesystem;
namespace {

// An environment value that names an absolute path; relative ones are ignored, as the
// base directory convention asks.
std::optional<fs::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

}  // namespace

fs::path configDirectory() {
  if (auto base = absoluteFromEnvironment("XDG_CONFIG_HOME")) return *base / "quillbeam";
  return SharedFiles::homeDirectory() / ".config" / "quillbeam";
}

fs::path settingsFile() {
  return configDirectory() / "settings.json";
}

fs::path runtimeDirectory() {
  if (auto base = absoluteFromEnvironment("XDG_RUNTIME_DIR")) return *base / "quillbeam";
  return fs::path("/run/user") / std::to_string(getuid()) / "quillbeam";
}

fs::path pauseRecord() {
  return runtimeDirectory() / "paused.json";
}

fs::path overridesFile() {
  return runtimeDirectory() / "overrides.json";
}

}  // namespace quillbeam::companion::paths
