#!/usr/bin/env bash
# The real round trip, told as a timeline: runs the end-to-end test (tests/e2e) with its
# timeline on. A headless Chromium runs the test extension, which starts the built
# quillbeam_bridge registered for a throwaway profile by quillbeam-register; the bridge
# writes browser-link.json, signals on a private session bus and has the bus start a
# stand-in companion; companion commands sent on the bus reach the extension; the extension
# closes its port and the bridge ends.
#
# Usage: scripts/e2e-demo.sh [build-dir]     (default: build/dev, configured if needed)
# Needs chromium and dbus-daemon (scripts/install-deps.sh with QUILLBEAM_WITH_BROWSER=1).
# Set QUILLBEAM_E2E_CHROMIUM to use another Chromium binary. Exits with 77 when Chromium
# cannot run here.
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
if ! output=$(cmake --build "$build" -j "${JOBS:-2}" --target e2e_tests 2>&1); then
  printf '%s\n' "$output" >&2
  echo "e2e-demo: building the end-to-end test failed (it needs -DQUILLBEAM_TESTS=ON)" >&2
  exit 1
fi

printf 'Bridge:    %s\nExtension: %s\n\n' "$PWD/$build/bridge/quillbeam_bridge" "$PWD/tests/e2e/extension"
# The test's whole output goes here; only the timeline is shown unless something goes wrong.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
set +e
QUILLBEAM_E2E_TIMELINE=1 "$build/tests/e2e/e2e_tests" --gtest_color=no 2>&1 | tee "$log" |
  grep --line-buffered -E '^ *[0-9]+\.[0-9]+s  '
status=${PIPESTATUS[0]}
set -e
if grep -q '^\[  SKIPPED \]' "$log"; then
  echo "e2e-demo: skipped, Chromium cannot run here:" >&2
  sed -n '/: Skipped$/,/^\[/p' "$log" | grep -v '^\[' >&2
  exit 77
fi
if [ "$status" -ne 0 ]; then
  grep -v '^dbus-daemon\[' "$log" >&2
fi
exit "$status"
