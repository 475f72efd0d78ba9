#pragma once

#include <filesystem>
#include <string>

namespace quillbeam::Register {

// The launcher a Flatpak browser starts as its native messaging host: a /bin/sh script
// that runs `bridge` outside the sandbox with flatpak-spawn --host, passing the browser's
// arguments and its standard input, output and error through unchanged.
std::string launcherText(const std::filesystem::path& bridge);

}  // namespace quillbeam::Register
