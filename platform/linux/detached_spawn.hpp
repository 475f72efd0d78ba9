#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillbeam::platform {

// Starts `executable` (no arguments) as a process that is not ours: it runs in a session
// of its own, is reparented away from us at once (nothing to reap or kill), has /dev/null
// as standard input, output and error, no other descriptor of ours, default signal
// handling, and "/" as working directory. Blocks until the program was executed or
// failed to be; returns the error text of a failure (e.g. "No such file or directory").
// Safe in a multithreaded process: the children call only async-signal-safe functions.
std::optional<std::string> spawnDetached(const std::filesystem::path& executable);

}  // namespace quillbeam::platform
