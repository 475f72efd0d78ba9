#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds a companion program outside the
# tree against it, once through the CMake package and once through pkg-config, then runs
# both. Checks first that the desktop companion's D-Bus service file and systemd user unit
# start the program where each install puts it: into that prefix, into a prefix with a
# space in its name, and into /usr staged under DESTDIR as a package build does.
# Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
consumer=$PWD/tests/install/consumer
work=$(mktemp -d /tmp/quillbeam-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# check_bus_files ROOT PREFIX EXEC: after an install to PREFIX staged under ROOT (empty
# without DESTDIR), the service file's Exec= and the unit's ExecStart= are EXEC, the program
# is there, and install_manifest.txt lists both files.
check_bus_files() {
  local root=$1 prefix=$2 want=$3 service unit got f
  service=$(find "$root$prefix" -path '*/dbus-1/services/com.quillbeam.mac.service')
  unit=$(find "$root$prefix" -path '*/systemd/user/quillbeam-companion.service')
  [[ -f "$service" && -f "$unit" ]] ||
    fail "not exactly one D-Bus service file and one user unit under $root$prefix"
  got=$(sed -n 's/^Exec=//p' "$service")
  [[ "$got" == "$want" ]] || fail "$service: Exec=$got, expected Exec=$want"
  got=$(sed -n 's/^ExecStart=//p' "$unit")
  [[ "$got" == "$want" ]] || fail "$unit: ExecStart=$got, expected ExecStart=$want"
  [[ -x "$root$prefix/bin/quillbeam-companion" ]] ||
    fail "the files name $prefix/bin/quillbeam-companion, which was not installed under $root$prefix"
  for f in "${service#"$root"}" "${unit#"$root"}"; do
    grep -qxF "$f" "$build/install_manifest.txt" || fail "install_manifest.txt does not list $f"
  done
}

# A path with a space is quoted: the bus and systemd both split the line at spaces.
cmake --install "$build" --prefix "$work/per user" >/dev/null
check_bus_files "" "$work/per user" "\"$work/per user/bin/quillbeam-companion\""
# The package's files name /usr/bin, not the staging folder they were installed into.
DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
check_bus_files "$work/stage" /usr /usr/bin/quillbeam-companion
# Last: the consumers below build against this prefix.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
check_bus_files "" "$work/prefix" "$work/prefix/bin/quillbeam-companion"
echo "check-install: the companion's service file and user unit start the installed program"
cmake -S "$consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
via_cmake=$("$work/cmake/consumer")

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name quillbeam-core.pc)")
# shellcheck disable=SC2046
g++ -std=c++20 "$consumer/main.cpp" -o "$work/pkg-consumer" $(pkg-config --cflags --libs quillbeam-core)
via_pkg_config=$("$work/pkg-consumer")

expected="1h 30m ready"
for got in "$via_cmake" "$via_pkg_config"; do
  [[ "$got" == "$expected" ]] || fail "the consumer printed '$got', expected '$expected'"
done
echo "check-install: the installed core builds and runs a consumer through CMake and pkg-config"
