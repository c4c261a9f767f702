# shellcheck shell=bash
# Shared by scripts/test-fuzz.sh and scripts/fuzz.sh: builds the libFuzzer targets and runs one.
# Sourced from the repository root.

FUZZ_BUILD=build-fuzz

# build_fuzz_targets: configures the "fuzz" preset (clang, ASan, UBSan) and builds every target.
build_fuzz_targets() {
  ensure_packages cmake make clang-14 libclang-rt-14-dev nlohmann-json3-dev
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$(nproc)" >/dev/null
}

# fuzz_target_names: one name per line, from tests/fuzz/<name>_fuzz.cpp.
fuzz_target_names() {
  local source
  for source in tests/fuzz/*_fuzz.cpp; do
    basename "$source" _fuzz.cpp
  done
}

# run_fuzz_target NAME SECONDS LOG: fuzzes NAME for SECONDS (0: until stopped), new inputs going
# to $FUZZ_BUILD/corpus/NAME and the committed seeds read from tests/fuzz/corpus/NAME. A finding
# is written to $FUZZ_BUILD/findings/NAME-*; the status is libFuzzer's (0: nothing found).
run_fuzz_target() {
  local name=$1 seconds=$2 log=$3
  local work="$FUZZ_BUILD/corpus/$name"
  mkdir -p "$work" "$FUZZ_BUILD/findings"
  local options=(
    -max_total_time="$seconds"
    -timeout=10                # one input may take at most 10 s
    -rss_limit_mb=1024
    -malloc_limit_mb=64        # no single allocation sized from what an input announces
    -artifact_prefix="$FUZZ_BUILD/findings/$name-"
    -print_final_stats=1
  )
  [ -f "tests/fuzz/$name.dict" ] && options+=(-dict="tests/fuzz/$name.dict")
  "$FUZZ_BUILD/fuzz/$name" "${options[@]}" "$work" "tests/fuzz/corpus/$name" >"$log" 2>&1
}
