#!/usr/bin/env bash
# Rust launcher kit stage: runs the crate's tests (kits/rust) against the built service with
# Debian's Rust (1.63, the crate's rust-version) and, where one is installed under ~/.cargo, with
# the newest toolchain, which also runs clippy, rustfmt and rustdoc with warnings as errors;
# packs the crate with cargo package, checks what it holds, builds examples/rust-launcher from a
# copy under /tmp against the unpacked .crate and runs it with the service beside its executable
# (as a Tauri bundle installs it) and no service path; then builds the tests and the example for
# x86_64-pc-windows-gnu and runs them under Wine against the Windows service.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/service_binaries.sh
source scripts/lib/rust_kit.sh

ensure_packages cmake make g++ nlohmann-json3-dev "${RUST_KIT_PACKAGES[@]}"
# Rust's standard library for x86_64-pc-windows-gnu (Debian's, for its rustc), then its linker
# and Wine to run what it builds.
windows=1
if ensure_packages libstd-rust-dev-windows; then
  ensure_packages g++-mingw-w64-x86-64-posix wine64 util-linux
else
  windows=
  echo "libstd-rust-dev-windows did not install: the crate is neither built for x86_64-pc-windows-gnu nor tested under Wine"
fi
started=$SECONDS
root=$PWD
work=$root/build-rust-kit
# The build folders are kept, so that a rerun compiles only what changed.
fresh_folder "$work" target
rust_settings "$work/cargo-home"
version=$(project_version)
cmp -s LICENSE kits/rust/LICENSE || { echo "kits/rust/LICENSE differs from LICENSE" >&2; exit 1; }
example=$(mktemp -d /tmp/kcs-rust-launcher.XXXXXX)
trap 'rm -rf "$example"' EXIT

presets=(default)
[ -z "$windows" ] || presets+=(windows)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target korvessa-client-services >/dev/null
done
install_service build "$work/service-linux"
[ -z "$windows" ] || install_service build-windows "$work/service-windows"
# A private runtime directory: the registered presence must not reach a real Discord.
mkdir -p "$work/runtime" "$work/client"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
export KCS_SERVICE=$work/service-linux/bin/korvessa-client-services KCS_CASES=$root/kits/cases.json

# run LOG COMMAND...: the command's output goes to LOG, shown only when it fails.
run() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; echo "failed: $*" >&2; exit 1; }
}
# test_results LOG: how many tests of a cargo test log passed, over all its test programs.
test_results() {
  awk '/^test result: ok\./ { passed += $4 } END { print passed " tests passed" }' "$1"
}

cd kits/rust
echo "-- Debian's $(/usr/bin/rustc --version), $(/usr/bin/cargo --version)"
export CARGO_TARGET_DIR=$work/target/debian
run "$work/debian-test.log" debian_cargo test --offline
test_results "$work/debian-test.log"
RUSTDOCFLAGS="-D warnings" run "$work/debian-doc.log" debian_cargo doc --offline --no-deps
# Debian 12 packages no clippy for its Rust; a later release's is used where it is installed.
if [ -x /usr/bin/cargo-clippy ]; then
  run "$work/debian-clippy.log" debian_cargo clippy --offline --all-targets -- -D warnings
  echo "clippy of Debian's Rust: no warnings"
fi

newest=
clippy=
fmt=
if newest=$(newest_rust_bin); then
  # rustup puts clippy's and rustfmt's commands there even when their components are missing.
  newest_cargo clippy --version >/dev/null 2>&1 && clippy=1
  newest_cargo fmt --version >/dev/null 2>&1 && fmt=1
  echo "-- $(newest_cargo --version) from $newest: tests, rustdoc${clippy:+, clippy}${fmt:+, rustfmt}"
  export CARGO_TARGET_DIR=$work/target/newest
  run "$work/newest-test.log" newest_cargo test --offline
  test_results "$work/newest-test.log"
  RUSTDOCFLAGS="-D warnings" run "$work/newest-doc.log" newest_cargo doc --offline --no-deps
  [ -z "$clippy" ] || run "$work/clippy.log" newest_cargo clippy --offline --all-targets -- -D warnings
  [ -z "$fmt" ] || run "$work/fmt.log" newest_cargo fmt --check
else
  echo "no newer Rust toolchain (none under ~/.cargo/bin): the tests ran with Debian's Rust $(/usr/bin/rustc --version | cut -d' ' -f2) alone"
fi
cd "$root"

echo "-- cargo package"
pack_rust_kit "$work" "$version"
crate=$work/korvessa-launcher-kit-$version.crate
check_rust_kit_crate "$crate" "$version"
echo "$(basename "$crate"): $(stat -c %s "$crate") bytes: $(tar -tzf "$crate" | sed 's:^[^/]*/::' | paste -sd ' ')"

echo "-- examples/rust-launcher against the unpacked crate, the service beside it"
tar -xzf "$crate" -C "$example"
cp -r examples/rust-launcher "$example/launcher"
sed -i "s|^korvessa-launcher-kit = .*|korvessa-launcher-kit = { path = \"$example/korvessa-launcher-kit-$version\" }|" \
  "$example/launcher/Cargo.toml"
grep -q "path = \"$example/" "$example/launcher/Cargo.toml" ||
  { echo "examples/rust-launcher/Cargo.toml names the kit in another way" >&2; exit 1; }
export CARGO_TARGET_DIR=$example/target
# bundle_and_run TARGET_FOLDER SERVICE EXE_SUFFIX [RUNNER...]: the example's executable with the
# service beside it under its plain name (as a Tauri bundle installs its sidecar), run with the
# client directory and no service path.
bundle_and_run() {
  local built=$1 service=$2 suffix=$3 bundle
  shift 3
  bundle=$(mktemp -d "$example/bundle.XXXXXX")
  cp "$built/rust-launcher$suffix" "$bundle/"
  cp -p "$service" "$bundle/korvessa-client-services$suffix"
  (cd "$work/client" && "$@" "$bundle/rust-launcher$suffix" "$work/client")
}
(cd "$example/launcher" && run "$work/example-build.log" debian_cargo build --offline)
if [ -n "$clippy" ]; then
  (cd "$example/launcher" && CARGO_TARGET_DIR=$example/target-newest \
    run "$work/example-clippy.log" newest_cargo clippy --offline -- -D warnings)
fi
if [ -n "$fmt" ]; then
  (cd "$example/launcher" && run "$work/example-fmt.log" newest_cargo fmt --check)
fi
bundle_and_run "$example/target/debug" "$work/service-linux/bin/korvessa-client-services" ""

if [ -n "$windows" ]; then
  echo "-- x86_64-pc-windows-gnu: the tests and the example under Wine"
  export CARGO_TARGET_X86_64_PC_WINDOWS_GNU_LINKER=x86_64-w64-mingw32-gcc-posix
  # The Windows build's own Wine prefix (made by the windows stage, or here on first use).
  wine=(sh "$root/cmake/wine-run.sh" "$root/build-windows/wineprefix")
  export CARGO_TARGET_X86_64_PC_WINDOWS_GNU_RUNNER="${wine[*]}"
  (
    cd kits/rust
    export CARGO_TARGET_DIR=$work/target/debian
    KCS_SERVICE=$(wine_path "$work/service-windows/bin/korvessa-client-services.exe") \
      KCS_CASES=$(wine_path "$root/kits/cases.json") \
      run "$work/windows-test.log" debian_cargo test --offline --target x86_64-pc-windows-gnu
    test_results "$work/windows-test.log"
  )
  (cd "$example/launcher" &&
    run "$work/example-windows-build.log" debian_cargo build --offline --target x86_64-pc-windows-gnu)
  bundle_and_run "$example/target/x86_64-pc-windows-gnu/debug" \
    "$work/service-windows/bin/korvessa-client-services.exe" .exe "${wine[@]}"
fi

echo "rust launcher kit stage passed in $((SECONDS - started)) s"
