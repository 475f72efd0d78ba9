#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs the Debian packages that are missing (as
# root) and unpacks the tests' dbus-broker and xdg-dbus-proxy into .cache/bus-tools
# (scripts/fetch-bus-tools.sh), neither letting a package take over a service; then
#  1. builds everything with warnings as errors and the Debian packages, and runs every
#     test (unit, integration on the real bridge with a private session bus, fault tests,
#     end to end in Chromium, the packages in a container with systemd and a user manager);
#     then installs that build into a scratch prefix and builds a consumer against it;
#  2. builds and runs the tests again under AddressSanitizer+UndefinedBehaviorSanitizer;
#  3. builds and runs the bridge's tests under ThreadSanitizer;
#  4. builds the libFuzzer targets and runs each for a bounded time.
# Prints each runner's summary and exits non-zero when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --browser || exit 1
# Where the tools cannot be had their tests skip, saying why; CI requires them
# (QUILLBEAM_REQUIRE_BUS_TOOLS=1, which also turns those skips into failures).
if ! scripts/fetch-bus-tools.sh; then
  [[ ${QUILLBEAM_REQUIRE_BUS_TOOLS:-0} == 1 ]] && exit 1
  echo "test.sh: the tests that need dbus-broker or xdg-dbus-proxy will skip" >&2
fi

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
  # The Debian packages from a release build, before the tests: the session test installs
  # them in its container.
  step "package: build"
  if packages=$(scripts/package.sh); then
    QUILLBEAM_SESSION_PACKAGES=$(dirname "$(head -n1 <<<"$packages")")
    export QUILLBEAM_SESSION_PACKAGES
  else
    failed+=(package-build)
  fi
  step "tests: ci"
  ctest --preset ci || failed+=(ci)
  step "install: ci"
  scripts/check-install.sh build/ci || failed+=(install)
else
  failed+=(ci-build)
fi

# The Debian packages: contents, lintian, and (as root) install and purge on this machine.
step "package"
scripts/check-package.sh ${QUILLBEAM_SESSION_PACKAGES:+"$QUILLBEAM_SESSION_PACKAGES"} ||
  failed+=(package)

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
