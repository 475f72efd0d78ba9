#!/usr/bin/env bash
# The soak benchmark: builds the bridge and quillbeam_soak (the ci preset, optimised),
# starts a private session bus, and pushes a long stream of state messages through one
# bridge process, acknowledged in batches (steady state; 10^6 messages by default). Then a
# shorter flood, all sent without waiting, shows what the bridge holds while it catches up.
# Arguments go to quillbeam_soak (e.g. --messages 100000).
#
#   QUILLBEAM_SOAK_BUILD_DIR  an existing build directory to use instead (no configure)
#   QUILLBEAM_SOAK_BRIDGE     the bridge to measure (default: the one in the build directory)
#   QUILLBEAM_SOAK_FLOOD      messages in the flood (default 100000; 0 skips it)
#   QUILLBEAM_BUILD_JOBS      parallel build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${QUILLBEAM_BUILD_JOBS:-2}
if [[ -n "${QUILLBEAM_SOAK_BUILD_DIR:-}" ]]; then
  build=$QUILLBEAM_SOAK_BUILD_DIR
else
  build=build/ci
  cmake --preset ci >/dev/null
fi
cmake --build "$build" -j "$jobs" --target quillbeam_bridge quillbeam_soak

work=$(mktemp -d /tmp/quillbeam-soak-XXXXXX)
source scripts/private-bus.sh
cleanup() {
  stop_private_bus
  rm -rf "$work"
}
trap cleanup EXIT

start_private_bus "$work" || { echo "soak: the private bus did not start" >&2; exit 1; }

bridge=${QUILLBEAM_SOAK_BRIDGE:-$build/bridge/quillbeam_bridge}
status=0
printf '==== soak: steady state ====\n'
"$build/bench/soak/quillbeam_soak" --bridge "$bridge" "$@" || status=1
flood=${QUILLBEAM_SOAK_FLOOD:-100000}
if ((flood > 0)); then
  printf '\n==== soak: flood ====\n'
  "$build/bench/soak/quillbeam_soak" --bridge "$bridge" "$@" --messages "$flood" --batch 0 ||
    status=1
fi
exit $status
