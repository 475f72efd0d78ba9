#!/usr/bin/env bash
# The real round trip, told as a timeline: a headless Chromium runs the test extension
# (tests/e2e/extension), which starts the built quillbeam_bridge registered for a throwaway
# profile by quillbeam-register; the bridge writes browser-link.json, signals on a private
# session bus and has the bus start a stand-in companion; companion commands sent on the
# bus reach the extension; the extension closes its port and the bridge ends.
#
# Usage: scripts/e2e-demo.sh [build-dir]     (default: build/dev, configured if needed)
# Needs chromium and dbus-daemon (scripts/install-deps.sh with QUILLBEAM_WITH_BROWSER=1).
# Set QUILLBEAM_E2E_CHROMIUM to use another Chromium binary.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/dev}
if [ ! -f "$build/CMakeCache.txt" ]; then
  if [ "$build" = build/dev ]; then
    cmake --preset dev >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  fi
fi
if ! output=$(cmake --build "$build" -j "${JOBS:-2}" --target quillbeam_e2e_demo 2>&1); then
  printf '%s\n' "$output" >&2
  echo "e2e-demo: building the demo failed (it needs the tests: -DQUILLBEAM_TESTS=ON)" >&2
  exit 1
fi

# The private bus daemon and the run's own complaints go here; shown only on failure.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$build/tests/e2e/quillbeam_e2e_demo" 2>"$log" || status=$?
if [ "$status" -ne 0 ]; then
  grep -v '^dbus-daemon\[' "$log" >&2 || true
  [ "$status" -eq 77 ] && echo "e2e-demo: skipped, Chromium cannot run here" >&2
fi
exit "$status"
