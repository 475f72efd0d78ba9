#!/usr/bin/env bash
# Builds an optimised tree in build/bench and measures the Linux companion: one discovery of
# the running apps on a fake tree of 1,000 processes and on this machine's /proc (a Google
# Benchmark), then, live, the browser's state message to every blocked app frozen, a new
# app to frozen, the companion's memory and wake-ups idle and during a session, and its
# inotify watches and memory before and after 10,000 app units came and went. Times
# differ between machines, so each comes beside a floor measured in the same run (the
# same reads, or the same freeze, done bare) and the ratio to it.
#
# Usage: scripts/bench-companion.sh [--quick] [--no-discovery] [LIVE_BENCH_OPTION]...
#   --quick         fewer runs, shorter idle windows, 1,000 units made and removed
#   --no-discovery  skip the discovery benchmark
# Any other option goes to companion_live_bench (see its --help).
#
# The live part needs root and a writable cgroup v2 mount: it pauses only `sleep`
# processes it starts, in a throwaway cgroup tree it makes and removes, with the real
# bridge on a private bus. Elsewhere it says so and the script still exits 0.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench

discovery=1
live_args=()
while (($#)); do
  case $1 in
    --quick) live_args+=(--quick) ;;
    --no-discovery) discovery=0 ;;
    -h | --help)
      sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *) live_args+=("$1") ;;
  esac
  shift
done

if [[ -x $root/scripts/install-deps.sh ]]; then
  "$root/scripts/install-deps.sh"
fi

echo "== Building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBEAM_TESTS=OFF \
  -DQUILLBEAM_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target companion_discovery_bench companion_live_bench

if ((discovery)); then
  echo
  echo "== One discovery (aim: under 5 ms over 1,000 processes); median, min and max of 10 runs"
  # Repetitions in random order, so that each figure and its floor see the same load.
  "$build/bench/companion_discovery_bench" --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true
fi

echo
echo "== The companion live"
exec "$build/bench/companion_live_bench" "${live_args[@]}"
