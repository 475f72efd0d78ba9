#include "bridge_path.hpp"

#include <unistd.h>

namespace quillbeam::Register {

namespace fs = std::filesystem;

std::variant<fs::path, BridgeProblem> checkBridge(const std::optional<fs::path>& given,
                                                  const fs::path& toolDirectory) {
  if (!given && toolDirectory.empty()) {
    return BridgeProblem{
        "cannot tell where this tool is installed; pass --bridge with the "
        "absolute path of quillbeam_bridge"};
  }
  const fs::path bridge = given ? *given : toolDirectory / bridgeFileName;
  const std::string shown = "\"" + bridge.string() + "\"";

  if (!bridge.is_absolute()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(bridge, ec);
    return BridgeProblem{"the bridge path " + shown +
                         " is relative, but a browser starts the host from a folder of its "
                         "own; give the absolute path, e.g. --bridge \"" +
                         (ec ? bridge : absolute).string() + "\""};
  }
  std::error_code ec;
  const fs::file_status status = fs::status(bridge, ec);
  if (!fs::exists(status)) {
    if (given) {
      return BridgeProblem{"no bridge at " + shown +
                           "; pass the absolute path of the quillbeam_bridge executable"};
    }
    return BridgeProblem{"no bridge installed beside this tool (looked for " + shown +
                         "); install it with cmake --install, or pass --bridge with the "
                         "absolute path of quillbeam_bridge"};
  }
  if (!fs::is_regular_file(status)) {
    return BridgeProblem{"the bridge path " + shown +
                         " is not a file; pass the path of the quillbeam_bridge executable"};
  }
  if (::access(bridge.c_str(), X_OK) != 0 ||
      (status.permissions() & (fs::perms::owner_exec | fs::perms::group_exec |
                               fs::perms::others_exec)) == fs::perms::none) {
    return BridgeProblem{"the bridge " + shown +
                         " is not executable; make it so (chmod +x) or pass the installed "
                         "quillbeam_bridge"};
  }
  return bridge;
}

}  // namespace quillbeam::Register
