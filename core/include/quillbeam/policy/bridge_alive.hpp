#pragma once

#include <cstdint>

namespace quillbeam::Health {

// The Linux answer to "does the bridge process still run": a process with this identifier
// exists and has not exited (a zombie waiting to be reaped has). Identifiers of zero or
// below name no single process and answer false. Usable as the BridgeAlive predicate.
bool bridgeAlive(int32_t pid);

}  // namespace quillbeam::Health
