#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace quillbeam::Register {

// The executable's file name, as installed.
inline constexpr char bridgeFileName[] = "quillbeam_bridge";

// A bridge path that cannot go into a manifest, with what the user should do about it.
struct BridgeProblem {
  std::string message;
};

// The bridge path for the manifest: `given`, or quillbeam_bridge in `toolDirectory` when
// absent. A browser starts the host from a working folder of its own and needs to run it,
// so the path must be absolute and name an executable file; it is otherwise kept as given.
std::variant<std::filesystem::path, BridgeProblem> checkBridge(
    const std::optional<std::filesystem::path>& given, const std::filesystem::path& toolDirectory);

}  // namespace quillbeam::Register
