#!/usr/bin/env bash
# Fuzz smoke run: builds the libFuzzer targets and fuzzes them side by side for a bounded time
# (KCS_FUZZ_SECONDS, default 45; side by side keeps the stage's wall time to one run's length).
# Any finding fails the run; the input that found it is kept in build-fuzz/findings/ and belongs
# in tests/fuzz/corpus/<target>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/fuzzing.sh

seconds="${KCS_FUZZ_SECONDS:-45}"
start=$SECONDS
build_fuzz_targets
mapfile -t names < <(fuzz_target_names)
pids=()
for name in "${names[@]}"; do
  run_fuzz_target "$name" "$seconds" "$FUZZ_BUILD/$name.log" &
  pids+=($!)
done
failed=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  log="$FUZZ_BUILD/$name.log"
  if wait "${pids[$i]}"; then
    runs=$(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || true)
    echo "fuzz $name: ${seconds} s, ${runs:-?} runs, nothing found"
  else
    echo "fuzz $name: FINDING (log $log)"
    grep -E -A40 'ERROR|property failed|deadly signal' "$log" | head -60 || true
    failed=1
  fi
done
echo "fuzz stage: $((SECONDS - start)) s"
exit "$failed"
