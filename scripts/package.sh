#!/usr/bin/env bash
# Builds the Debian packages from a release build of this tree:
#   quillbeam_<version>-1_<arch>.deb              the programs, the host manifests for all users
#   libquillbeam-core-dev_<version>-1_<arch>.deb  the core for companion programs
# Usage: scripts/package.sh [BUILD_DIR]   (default build/package; the packages land in
# BUILD_DIR/packages and their paths are printed, one a line, on standard output).
# Builds only what the packages hold, with Debian's hardening flags; the build honours
# CMAKE_BUILD_PARALLEL_LEVEL (default: every core).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}

# The changelog's date, so that the same commit gives the same packages.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]] && epoch=$(git log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi

# Debian's hardening flags (stack protector, fortified functions, full RELRO); no debug
# information, since the packages ship stripped programs and no debug symbols.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
no_debug() { sed -E 's/(^| )-g( |$)/ /g'; }
cflags="$(dpkg-buildflags --get CFLAGS | no_debug) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS | no_debug) $(dpkg-buildflags --get CPPFLAGS)"
# --as-needed: a program depends only on the shared libraries it calls.
ldflags="$(dpkg-buildflags --get LDFLAGS) -Wl,--as-needed"

cmake --preset release -B "$build" --no-warn-unused-cli \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUILLBEAM_PACKAGE=ON \
  -DQUILLBEAM_USER_UNIT_DIR=lib/systemd/user \
  -DCMAKE_C_FLAGS="$cflags" \
  -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" >&2

rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB) >&2
find "$(realpath "$build")/packages" -maxdepth 1 -name '*.deb' | sort
