#!/usr/bin/env bash
# The whole test suite once under AddressSanitizer with UndefinedBehaviorSanitizer and once under
# ThreadSanitizer (presets "asan" and "tsan"). Zero reports: every report fails the stage, also
# one from a service process whose standard error a test swallowed, because the sanitizers write
# their reports to files (log_path) that are checked after the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev

status=0
for preset in asan tsan; do
  start=$SECONDS
  echo "== sanitizer pass: $preset"
  reports="$PWD/build-$preset/sanitizer-reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
  # atexit_sleep_ms=0: ThreadSanitizer otherwise sleeps 1 s in every exiting process (to catch
  # races at exit), which would break the tests that bound how soon the service ends after its
  # launcher. The service leaves through _exit with its threads still running, so there is no
  # exit-time teardown for that sleep to watch anyway.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:log_path=$reports/tsan"
  cmake --preset "$preset" >/dev/null
  # Only what the tests run (the test programs pull in the service and its tools), not the
  # measuring programs: the build is most of this stage's time.
  cmake --build --preset "$preset" -j "$(nproc)" --target kcs_unit_tests kcs_service_tests kcs_kit_tests >/dev/null
  ctest --preset "$preset" || status=1
  if compgen -G "$reports/*" >/dev/null; then
    echo "$preset: sanitizer reports:"
    cat "$reports"/*
    status=1
  fi
  echo "$preset pass: $((SECONDS - start)) s"
done
exit "$status"
