#!/usr/bin/env bash
# Makes the test-only bus programs, dbus-broker and xdg-dbus-proxy, available to the tests
# without installing their packages: Debian's dbus-broker package makes itself the
# machine's bus when installed. Downloads each package with `apt-get download` (verified
# by apt against the signed archive), copies only its program out of it, and installs the
# plain libraries those programs load when missing (libraries enable nothing). Nothing is
# installed or enabled from the packages themselves.
#
# Usage: scripts/fetch-bus-tools.sh [DIR]     (default .cache/bus-tools, which the tests'
#                                              QUILLBEAM_BUS_TOOLS_DIR points at)
# Does nothing when both programs are already in DIR and run. Needs root only to install
# a missing library. Exits non-zero, saying why, when a program cannot be had.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(realpath -m "${1:-$root/.cache/bus-tools}")
# package:program
tools=(dbus-broker:dbus-broker xdg-dbus-proxy:xdg-dbus-proxy)

fail() {
  echo "fetch-bus-tools: $*" >&2
  exit 1
}

# A program counts as present only if it starts: a copy whose libraries are gone does not.
runs() { [[ -x $1 ]] && "$1" --version >/dev/null 2>&1; }

all_present() {
  local tool
  for tool in "${tools[@]}"; do
    runs "$dir/${tool#*:}" || return 1
  done
}

if all_present; then
  exit 0
fi
mkdir -p "$dir"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillbeam-bus-tools-XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt downloads as its own unprivileged user when it can write the folder.
if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then
  chown _apt "$work"
fi

packages=()
for tool in "${tools[@]}"; do packages+=("${tool%%:*}"); done
if ! (cd "$work" && apt-get download -q "${packages[@]}" >/dev/null 2>&1); then
  # A fresh machine may have no package lists yet.
  [[ $(id -u) -eq 0 ]] || fail "apt-get download ${packages[*]} failed (no package lists? run as root once)"
  apt-get update -q >/dev/null || fail "apt-get update failed"
  (cd "$work" && apt-get download -q "${packages[@]}") || fail "apt-get download ${packages[*]} failed"
fi

# The libraries the packages declare; the other dependencies (init system, bus
# configuration) are what installing the package would bring, and the tests need none.
libraries=()
for deb in "$work"/*.deb; do
  depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/^ *([^ (|]+).*/\1/')
  for name in $depends; do
    [[ $name == lib* ]] && libraries+=("$name")
  done
done
missing=()
for name in "${libraries[@]}"; do
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$name")
done
if ((${#missing[@]})); then
  [[ $(id -u) -eq 0 ]] || fail "missing libraries: ${missing[*]} (run as root to install them)"
  echo "fetch-bus-tools: installing the libraries ${missing[*]}"
  source "$root/scripts/guarded-install.sh"
  guard_install "${missing[@]}" || fail "installing ${missing[*]} failed"
fi

# Unpack into the scratch folder and move each program into place only once it runs, so
# that an interrupted or failed run never leaves a copy that looks usable.
for tool in "${tools[@]}"; do
  package=${tool%%:*} program=${tool#*:}
  deb=$(compgen -G "$work/${package}_*.deb") || fail "apt-get download gave no $package package"
  dpkg-deb -x "$deb" "$work/$package"
  binary=$work/$package/usr/bin/$program
  [[ -x $binary ]] || fail "$package holds no usr/bin/$program"
  if unresolved=$(ldd "$binary" | grep 'not found'); then
    fail "$program cannot load: $unresolved"
  fi
  runs "$binary" || fail "$program does not run: $("$binary" --version 2>&1 | head -n 3)"
  install -m 0755 "$binary" "$dir/.$program.new"
  mv -f "$dir/.$program.new" "$dir/$program"
  echo "$package $(dpkg-deb -f "$deb" Version)" >>"$work/versions"
done
mv -f "$work/versions" "$dir/versions"
echo "fetch-bus-tools: $(tr '\n' ' ' <"$dir/versions")in $dir"
