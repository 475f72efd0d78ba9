#include "environment.hpp"

#include <cstdlib>

#include "quillbeam/session/shared_files.hpp"

namespace quillbeam::Register {

namespace fs = std::filesystem;

Environment Environment::fromProcess() {
  Environment environment;
  environment.home = SharedFiles::homeDirectory();

  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && fs::path(xdg).is_absolute()) {
    environment.configHome = xdg;
  } else {
    environment.configHome = environment.home / ".config";
  }

  const char* root = std::getenv("QUILLBEAM_REGISTER_SYSTEM_ROOT");
  environment.systemRoot = (root != nullptr && *root != '\0') ? fs::path(root) : fs::path("/");

  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) environment.toolDirectory = self.parent_path();
  return environment;
}

fs::path Environment::systemPath(std::string_view absolute) const {
  return systemRoot / fs::path(absolute).relative_path();
}

}  // namespace quillbeam::Register
