#!/usr/bin/env bash
# Builds the fuzz targets (when needed) and runs each for a while.
#   fuzz/run.sh [SECONDS]         each target SECONDS long (default 10)
# Environment:
#   BILLER_FUZZ_BUILD   build folder (default build-asan: the AddressSanitizer
#                       + UndefinedBehaviorSanitizer build, made with clang)
#   BILLER_FUZZ_TARGETS names of the targets to run (default: all)
#   BILLER_FUZZ_JOBS    parallel fuzzing jobs per target (default 1)
# Inputs a run finds to be new go to var/fuzz/<target>/, next to the seed
# corpus of fuzz/corpus/<target>/, which is only read. A crash stops the
# script with a non-zero status; its input is written to var/fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
dir=${BILLER_FUZZ_BUILD:-build-asan}
jobs=${BILLER_FUZZ_JOBS:-1}

if [ ! -f "$dir/build.ninja" ] || ! grep -q '^BILLER_FUZZ:BOOL=ON' "$dir/CMakeCache.txt"; then
  if [ -f "$dir/build.ninja" ]; then
    echo "$dir was configured without -DBILLER_FUZZ=ON; remove it or set BILLER_FUZZ_BUILD" >&2
    exit 2
  fi
  ./scripts/build.sh "$dir" Debug -DCMAKE_CXX_COMPILER=clang++ -DBILLER_SANITIZE=ON \
    -DBILLER_FUZZ=ON >/dev/null
fi
cmake --build "$dir" -j "${BILLER_BUILD_JOBS:-$(nproc)}" --target fuzz_targets >/dev/null

targets=${BILLER_FUZZ_TARGETS:-$(cd fuzz && ls fuzz_*.cc | sed 's/\.cc$//')}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p var/fuzz/crashes
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
status=0
for target in $targets; do
  mkdir -p "var/fuzz/$target"
  log="var/fuzz/$target.log"
  if "$dir/$target" -max_total_time="$seconds" "${parallel[@]}" -print_final_stats=1 \
       -artifact_prefix="var/fuzz/crashes/$target-" \
       "var/fuzz/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    shopt -s nullglob
    runs=$(awk '/^stat::number_of_executed_units/ {n += $2} END {print n + 0}' "$log" fuzz-*.log)
    shopt -u nullglob
    last=$(grep -h -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 |
           grep -o -E 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
    echo "$target: $runs runs, $last, no crash"
  else
    echo "$target: FAILED (log: $log)" >&2
    tail -40 "$log" >&2
    status=1
  fi
done
rm -f fuzz-*.log
exit "$status"
