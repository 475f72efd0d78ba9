#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, through scripts/guarded-install.sh:
# on a minimal machine their dependencies may bring and enable services of their own (the
# system's D-Bus, a getty, man-db's timer), which it lists; a package that would take over
# a service (dbus-broker making itself the machine's bus) is refused. The tests'
# dbus-broker and xdg-dbus-proxy are never installed: scripts/fetch-bus-tools.sh unpacks
# those two programs into a folder of the project.
#
# Usage: scripts/install-deps.sh [--demo] [--browser]
#   (none)     building everything and running the tests and the benchmarks: g++ and clang,
#              clang-format, the libraries, dbus-daemon and the bus command-line tools,
#              debootstrap and systemd-nspawn for the session test
#   --demo     only what scripts/demo.sh builds and runs, chromium included
#   --browser  chromium as well, for the end-to-end tests (or QUILLBEAM_WITH_BROWSER=1)
#
# Does nothing when every package is already present; needs root otherwise.
set -euo pipefail
source "$(dirname "$0")/guarded-install.sh"

# What the demo builds (everything, with the ci preset) and runs (a private dbus-daemon,
# dbus-monitor, the scripted extension), chromium aside.
demo=(
  build-essential cmake ninja-build pkg-config g++
  nlohmann-json3-dev libsystemd-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon dbus-bin libglib2.0-bin python3
)
# The sanitizer and fuzz builds, formatting, and the Debian
# packages' build and check (dpkg-dev, file, lintian).
development=(clang clang-format libclang-rt-14-dev dpkg-dev file lintian)
# The session test's container: a Debian root (debootstrap) booted with systemd-nspawn.
session=(debootstrap systemd-container)

packages=("${demo[@]}" "${development[@]}" "${session[@]}")
browser=${QUILLBEAM_WITH_BROWSER:-0}
for option in "$@"; do
  case $option in
    --demo)
      packages=("${demo[@]}")
      browser=1
      ;;
    --browser) browser=1 ;;
    *)
      echo "install-deps: unknown option $option (see the top of $0)" >&2
      exit 2
      ;;
  esac
done
[[ $browser == 1 ]] && packages+=(chromium)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run this script as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
guard_install "${missing[@]}"
