#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset, clang) and runs each one for a bounded
# time from its committed seeds, then replays every committed crash input. Prints the
# executions per target and exits non-zero when any target crashed or a replay failed.
#
#   QUILLBEAM_FUZZ_SECONDS    seconds per target (default 25: twelve targets and the build
#                             keep the CI step near six minutes)
#   QUILLBEAM_FUZZ_BUILD_DIR  build directory (default: the preset's, build/fuzz)
#   QUILLBEAM_FUZZ_TARGETS    space-separated subset, e.g. "frame_decoder records"
#   QUILLBEAM_BUILD_JOBS      parallel build jobs (default 2)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${QUILLBEAM_FUZZ_SECONDS:-25}
build=${QUILLBEAM_FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${QUILLBEAM_BUILD_JOBS:-2}

configure=(cmake --preset fuzz)
[[ -n "${QUILLBEAM_FUZZ_BUILD_DIR:-}" ]] && configure+=(-B "$build")
"${configure[@]}" >/dev/null || { echo "fuzz: configure failed" >&2; exit 1; }
cmake --build "$build" -j "$jobs" --target fuzz_all || { echo "fuzz: build failed" >&2; exit 1; }

if [[ -n "${QUILLBEAM_FUZZ_TARGETS:-}" ]]; then
  read -r -a targets <<<"$QUILLBEAM_FUZZ_TARGETS"
else
  targets=()
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    targets+=("$name")
  done
fi

# Inputs the fuzzer finds go to a scratch corpus in the build tree; the committed seeds
# stay small and are only read.
work=$build/fuzz-work
mkdir -p "$work"
failed=()
declare -A executions

for name in "${targets[@]}"; do
  binary=$build/fuzz/fuzz_$name
  if [[ ! -x $binary ]]; then
    echo "fuzz: no target fuzz_$name" >&2
    failed+=("$name(missing)")
    continue
  fi
  corpus=$work/corpus/$name
  mkdir -p "$corpus" "$work/artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$work/artifacts/$name-")
  # The JSON readers get the keys and texts of the records as a dictionary.
  [[ $name =~ ^(records|pause_record|overrides)$ ]] && args+=(-dict="$root/fuzz/json.dict")
  seeds=()
  [[ -d fuzz/corpus/$name ]] && seeds+=("fuzz/corpus/$name")

  printf '==== fuzz_%s (%ss) ====\n' "$name" "$seconds"
  log=$work/$name.log
  "$binary" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  executions[$name]=${runs:-?}
  if ((status != 0)); then
    failed+=("$name")
    echo "fuzz_$name FAILED (status $status); the end of its log ($log):"
    tail -n 40 "$log"
  else
    echo "fuzz_$name: ${runs:-?} executions, $(find "$corpus" -type f | wc -l) inputs in corpus"
  fi

  # Inputs that once crashed a target are run again, every time.
  if [[ -d fuzz/regressions/$name ]] && compgen -G "fuzz/regressions/$name/*" >/dev/null; then
    if "$binary" -runs=1 fuzz/regressions/"$name"/* >"$work/$name.replay.log" 2>&1; then
      echo "fuzz_$name: replayed $(find "fuzz/regressions/$name" -type f | wc -l) crash inputs, all pass"
    else
      failed+=("$name(replay)")
      echo "fuzz_$name: a committed crash input fails again:"
      tail -n 40 "$work/$name.replay.log"
    fi
  fi
done

printf '\n==== fuzz summary ====\n'
for name in "${targets[@]}"; do
  printf '%-24s %12s executions\n' "fuzz_$name" "${executions[$name]:-?}"
done
if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]} (artifacts in $work/artifacts)"
  exit 1
fi
echo "fuzz: no crashes"
