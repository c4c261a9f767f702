#!/usr/bin/env bash
# Fuzzes for as long as a person likes: scripts/fuzz.sh [TARGET...] runs the named targets (all
# by default) side by side until Ctrl-C, or for KCS_FUZZ_SECONDS each when that is set. The
# corpus grows in build-fuzz/corpus/<target>; findings land in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/fuzzing.sh

seconds="${KCS_FUZZ_SECONDS:-0}"
build_fuzz_targets
targets=("$@")
[ ${#targets[@]} -eq 0 ] && mapfile -t targets < <(fuzz_target_names)

pids=()
for name in "${targets[@]}"; do
  [ -f "tests/fuzz/${name}_fuzz.cpp" ] || { echo "no fuzz target $name" >&2; exit 2; }
  echo "fuzzing $name (log $FUZZ_BUILD/$name.log)"
  run_fuzz_target "$name" "$seconds" "$FUZZ_BUILD/$name.log" &
  pids+=($!)
done
trap 'kill "${pids[@]}" 2>/dev/null || true' INT TERM
failed=0
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then
    echo "fuzz ${targets[$i]}: FINDING (see $FUZZ_BUILD/${targets[$i]}.log and $FUZZ_BUILD/findings/)"
    failed=1
  fi
done
exit "$failed"
