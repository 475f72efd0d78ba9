#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds a companion program outside the
# tree against it, once through the CMake package and once through pkg-config, then runs
# both. Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
consumer=$PWD/tests/install/consumer
work=$(mktemp -d /tmp/quillbeam-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
via_cmake=$("$work/cmake/consumer")

export PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name quillbeam-core.pc)")
# shellcheck disable=SC2046
g++ -std=c++20 "$consumer/main.cpp" -o "$work/pkg-consumer" $(pkg-config --cflags --libs quillbeam-core)
via_pkg_config=$("$work/pkg-consumer")

expected="1h 30m ready"
for got in "$via_cmake" "$via_pkg_config"; do
  if [[ "$got" != "$expected" ]]; then
    echo "check-install: the consumer printed '$got', expected '$expected'" >&2
    exit 1
  fi
done
echo "check-install: the installed core builds and runs a consumer through CMake and pkg-config"
