#pragma once

#include "command_line.hpp"

namespace quillbeam::cli {

// Sends one companion command on the session bus for the bridge to relay to the
// extension. A start draft is checked first, with its anchors normalised. Refuses, with
// exitNotConnected, when no browser is connected, unless the request says anyway. Returns
// the exit status, having said why on standard error when it is not success.
int sendCommand(CommandRequest request);

}  // namespace quillbeam::cli
