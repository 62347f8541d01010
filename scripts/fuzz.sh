#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in their own build tree
# and runs each of them for SECONDS (default 20), as many at a time as there are cores.  Prints the executions
# and the coverage of every target; exits non-zero when any target finds a crash, a leak or an input that hangs.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
seconds=${1:-20}
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TEV_FUZZ_BUILD_DIR:-$top/build/fuzz}
seeds=$top/tests/fuzz/corpus

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DTEV_FUZZ=ON -DTEV_SANITIZE=ON -DTEV_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_all

targets=()
for dir in "$seeds"/*/; do targets+=("$(basename "$dir")"); done
mkdir -p "$build/fuzz-runs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
  local target=$1 work="$build/fuzz-runs/$1"
  mkdir -p "$work/corpus" "$work/artifacts"
  # New inputs go to the work corpus; the seeds in the source tree are only read.
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$top/tests/fuzz/mime.dict" -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$seeds/$target" >"$work/log" 2>&1
}

failed=0
jobs=$(nproc)
declare -A pids=()
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
  run_one "$target" &
  pids[$target]=$!
done
printf '%-24s %12s %8s  %s\n' target executions cov result
for target in "${targets[@]}"; do
  log="$build/fuzz-runs/$target/log"
  if wait "${pids[$target]}"; then result=ok; else result=FAILED; failed=1; fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed -n 's/.* cov: \([0-9]*\).*/\1/p' | tail -n 1)
  printf '%-24s %12s %8s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "$result"
  if [ "$result" = FAILED ]; then
    echo "---- $target: $log"
    tail -n 40 "$log"
    ls "$build/fuzz-runs/$target/artifacts" 2>/dev/null || true
  fi
done
exit "$failed"
