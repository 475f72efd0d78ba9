#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, and no other: none of them installs,
# enables or starts a service. The tests' dbus-broker and xdg-dbus-proxy are not among
# them (Debian's dbus-broker makes itself the machine's bus): scripts/fetch-bus-tools.sh
# unpacks those two programs into a folder of the project.
#
# Usage: scripts/install-deps.sh [--demo] [--browser]
#   (none)     building everything and running the tests and the benchmarks: g++ and clang,
#              clang-format, the libraries, dbus-daemon and the bus command-line tools
#   --demo     only what scripts/demo.sh builds and runs, chromium included
#   --browser  chromium as well, for the end-to-end tests (or QUILLBEAM_WITH_BROWSER=1)
#
# Does nothing when every package is already present; needs root otherwise. Fails when the
# installation left a systemd unit enabled that was not before.
set -euo pipefail

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

packages=("${demo[@]}" "${development[@]}")
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

# What is enabled shows as symlinks under /etc/systemd (dbus.service -> dbus-broker.service,
# *.wants/...), or /etc/rc?.d for init scripts; none may appear.
enabled_units() {
  # A machine may have neither folder.
  { find /etc/systemd /etc/rc?.d -type l -printf '%p -> %l\n' 2>/dev/null || true; } | LC_ALL=C sort
}
before=$(enabled_units)

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

added=$(LC_ALL=C comm -13 <(printf '%s\n' "$before") <(enabled_units))
if [[ -n $added ]]; then
  echo "install-deps: installing ${missing[*]} left services enabled that were not before:" >&2
  sed 's/^/  /' <<<"$added" >&2
  exit 1
fi
