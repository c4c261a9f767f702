#!/usr/bin/env bash
# The whole test suite once under AddressSanitizer with UndefinedBehaviorSanitizer and once under
# ThreadSanitizer (presets "asan" and "tsan"). Any report fails the test that meets it: the
# sanitizers abort the process (halt_on_error), and a service that aborts fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev

# Reports go to standard error of the process that found them; exit codes make them failures.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for preset in asan tsan; do
  start=$SECONDS
  echo "== sanitizer pass: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
  # Load tests run with reduced counts under the sanitizers (see tests/e2e/load_test.cpp).
  KCS_SANITIZED=1 ctest --preset "$preset"
  echo "$preset pass: $((SECONDS - start)) s"
done
