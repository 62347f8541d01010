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

# The decoder also starts from the messages the decoder tests fetch: those Python's email package composes and,
# when the machine has them, the sample messages of Python's own email tests.
decoder_seeds=("$top/tests/pop3/utf8_corpus")
if command -v python3 >/dev/null 2>&1; then
  rm -rf "$build/fuzz-seeds/composed" && mkdir -p "$build/fuzz-seeds/composed"
  python3 "$top/tests/pop3/mime_corpus.py" compose "$build/fuzz-seeds/composed" &&
    decoder_seeds+=("$build/fuzz-seeds/composed")
  for samples in /usr/lib/python3*/test/test_email/data; do
    [ -d "$samples" ] && decoder_seeds+=("$samples")
  done
fi

run_one() {
  local target=$1 work="$build/fuzz-runs/$1" extra=() options=()
  mkdir -p "$work/corpus" "$work/artifacts"
  rm -rf "$work/scratch" && mkdir -p "$work/scratch"
  # Long messages make few runs: the decoder takes seeds cut to 16 KiB.
  if [ "$target" = fuzz_decoder ]; then extra=("${decoder_seeds[@]}"); options=(-max_len=16384); fi
  # New inputs go to the work corpus; the seeds in the source tree are only read.
  TEV_FUZZ_SCRATCH="$work/scratch" "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$top/tests/fuzz/mime.dict" -artifact_prefix="$work/artifacts/" "${options[@]}" \
    "$work/corpus" "$seeds/$target" "${extra[@]}" >"$work/log" 2>&1 || { rm -rf "$work/scratch"; return 1; }
  rm -rf "$work/scratch"
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
