#include "environment.hpp"

#include <cstdlib>
#include <optional>

#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::Register {

namespace fs = std::filesystem;

namespace {

// The variable's value when it is an absolute path, as the XDG rules demand of theirs.
std::optional<fs::path> absolutePathIn(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || !fs::path(value).is_absolute()) return std::nullopt;
  return fs::path(value);
}

}  // namespace

Environment Environment::fromProcess() {
  Environment environment;
  environment.home = SharedFiles::homeDirectory();
  environment.configHome = absolutePathIn("XDG_CONFIG_HOME").value_or(environment.home / ".config");

  const char* root = std::getenv("QUILLBEAM_REGISTER_SYSTEM_ROOT");
  environment.systemRoot = (root != nullptr && *root != '\0') ? fs::path(root) : fs::path("/");

  environment.flatpakUserDir =
      absolutePathIn("FLATPAK_USER_DIR")
          .value_or(
              absolutePathIn("XDG_DATA_HOME").value_or(environment.home / ".local" / "share") /
              "flatpak");
  environment.flatpakSystemDir =
      absolutePathIn("FLATPAK_SYSTEM_DIR").value_or(environment.systemPath("/var/lib/flatpak"));

  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) environment.toolDirectory = self.parent_path();
  return environment;
}

fs::path Environment::systemPath(std::string_view absolute) const {
  return systemRoot / fs::path(absolute).relative_path();
}

}  // namespace quillbeam::Register
