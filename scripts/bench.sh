#!/usr/bin/env bash
# Builds an optimised tree in build/bench, runs the in-process benchmarks of the core, then
# measures the bridge against the floor host over pipes, with a private session bus so that
# the bridge really signals. Prints the table, the ratios and the targets.
#
# Usage: scripts/bench.sh [--quick | --long] [--no-core] [BENCH_DRIVER_OPTION]...
#   --quick     fewer runs and no memory growth test (about a minute)
#   --long      many more runs and three growth runs (several minutes)
#   --no-core   skip the in-process benchmarks
# Any other option goes to bench_driver (see build/bench/bench/bench_driver --help).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench

runs=(--startup-runs 25 --throughput-runs 7 --large-runs 5 --growth-runs 1)
core=1
driver_args=()
while (($#)); do
  case $1 in
    --quick) runs=(--startup-runs 10 --throughput-runs 3 --large-runs 2 --growth-runs 0) ;;
    --long) runs=(--startup-runs 101 --throughput-runs 25 --large-runs 15 --growth-runs 3) ;;
    --no-core) core=0 ;;
    -h | --help)
      sed -n '2,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *) driver_args+=("$1") ;;
  esac
  shift
done

if [[ -x $root/scripts/install-deps.sh ]]; then
  "$root/scripts/install-deps.sh"
fi

echo "== Building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBEAM_TESTS=OFF \
  -DQUILLBEAM_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target core_bench bench_driver floor_host
if ninja -C "$build" -t targets all | grep -q '^quillbeam_bridge:'; then
  cmake --build "$build" -j2 --target quillbeam_bridge
fi

floor=$build/bench/floor_host
bridge=$build/bridge/quillbeam_bridge

# A private session bus in a directory of our own; the user's bus is never touched.
work=$(mktemp -d "${TMPDIR:-/tmp}/quillbeam-bench-bus.XXXXXX")
source "$root/scripts/private-bus.sh"
cleanup() {
  stop_private_bus
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
start_private_bus "$work" || { echo "bench: the private bus did not start" >&2; exit 1; }

if ((core)); then
  echo
  echo "== In-process benchmarks (targets: decoder >= 1 GB/s on 1 MiB frames, >= 300 MB/s on"
  echo "   100-byte frames, level bytes/s from 1,000 to 100,000 frames per chunk; state decode"
  echo "   and link encode well under 10 us)"
  "$build/bench/core_bench"
fi

echo
if [[ -x $bridge ]]; then
  name_b=bridge
  host_b=$bridge
  echo "== The bridge (B) against the floor host (A)"
else
  name_b=floor-b
  host_b=$floor
  echo "== $bridge is not built yet: measuring the floor host against itself"
fi
echo "   targets: start-up <= 1.5x floor; msgs/s >= 0.8x floor; idle RSS <= 3 MiB;"
echo "   RSS growth after 10^5 msgs <= 0.5 MiB; large messages <= 10x floor; exit < 5 ms"
echo
status=0
"$build/bench/bench_driver" --targets \
  --name-a floor --host-a "$floor" --name-b "$name_b" --host-b "$host_b" \
  "${runs[@]}" "${driver_args[@]}" || status=$?
exit "$status"
