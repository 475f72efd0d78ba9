#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the benchmarks need.
# Does nothing when every package is already present; needs root otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config g++ clang clang-format libclang-rt-14-dev
  nlohmann-json3-dev libsystemd-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-daemon dbus-bin libglib2.0-bin procps python3
  dbus-broker xdg-dbus-proxy
)
if [[ "${QUILLBEAM_WITH_BROWSER:-0}" == 1 ]]; then
  packages+=(chromium)
fi

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
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
