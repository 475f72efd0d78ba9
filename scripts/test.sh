#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs what is missing (as root), then
#  1. builds everything with warnings as errors and runs every test (unit, integration on
#     the real bridge with a private session bus, fault tests, end to end in Chromium);
#     then installs that build into a scratch prefix and builds a consumer against it;
#  2. builds and runs the tests again under AddressSanitizer+UndefinedBehaviorSanitizer;
#  3. builds and runs the bridge's tests under ThreadSanitizer;
#  4. builds the libFuzzer targets and runs each for a bounded time.
# Prints each runner's summary and exits non-zero when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

QUILLBEAM_WITH_BROWSER=1 scripts/install-deps.sh || exit 1

jobs=$(nproc)
failed=()
step() { printf '\n==== %s ====\n' "$*"; }

build() {
  local preset=$1
  shift
  step "build: $preset"
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs" "$@"
}

if build ci; then
  step "tests: ci"
  ctest --preset ci || failed+=(ci)
  step "install: ci"
  scripts/check-install.sh build/ci || failed+=(install)
else
  failed+=(ci-build)
fi

# The Debian packages from a release build: contents, lintian, and (as root) install and
# purge on this machine.
step "package"
scripts/check-package.sh || failed+=(package)

if build asan; then
  step "tests: asan"
  ctest --preset asan || failed+=(asan)
else
  failed+=(asan-build)
fi

if build tsan --target bridge_tests platform_tests; then
  step "tests: tsan"
  ctest --preset tsan || failed+=(tsan)
else
  failed+=(tsan-build)
fi

if [[ -x scripts/fuzz.sh ]]; then
  step "fuzz"
  scripts/fuzz.sh || failed+=(fuzz)
fi

step "summary"
if ((${#failed[@]})); then
  echo "failed: ${failed[*]}"
  exit 1
fi
echo "all steps passed"
