#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs what is missing (as root), builds with
# warnings as errors and runs every test, then runs the unit and integration tests again
# under AddressSanitizer+UndefinedBehaviorSanitizer and the bridge's tests under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

QUILLBEAM_WITH_BROWSER=1 scripts/install-deps.sh

jobs=$(nproc)
status=0
step() { printf '\n==== %s ====\n' "$*"; }

run_preset() {
  local preset=$1
  step "configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  step "tests: $preset"
  ctest --preset "$preset" || status=1
}

run_preset ci
run_preset asan
run_preset tsan

exit $status
