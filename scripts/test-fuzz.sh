#!/usr/bin/env bash
# Fuzz smoke run: builds the libFuzzer targets and fuzzes each for a bounded time
# (KCS_FUZZ_SECONDS, default 45). Any finding fails the run; the input that found it is kept in
# build-fuzz/findings/ and belongs in tests/fuzz/corpus/<target>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
source scripts/lib/fuzzing.sh

seconds="${KCS_FUZZ_SECONDS:-45}"
build_fuzz_targets
failed=0
for name in $(fuzz_target_names); do
  log="$FUZZ_BUILD/$name.log"
  if run_fuzz_target "$name" "$seconds" "$log"; then
    echo "fuzz $name: ${seconds} s, $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$') runs, nothing found"
  else
    echo "fuzz $name: FINDING (log $log)"
    grep -E -A40 'ERROR|property failed|deadly signal' "$log" | head -60
    failed=1
  fi
done
exit "$failed"
