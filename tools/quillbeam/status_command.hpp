#pragma once

#include "command_line.hpp"

namespace quillbeam::cli {

// Prints the status once, or, watching, again on every browser-state signal of the bridge
// and every second while a countdown runs, until SIGINT or SIGTERM. Returns the exit
// status.
int showStatus(const StatusRequest& request);

}  // namespace quillbeam::cli
