# shellcheck shell=bash
# The Rust launcher kit (kits/rust): the two toolchains, packing the .crate, checking it, and the
# service under the names a Tauri build looks for. Sourced by the scripts in scripts/, after
# scripts/lib/packages.sh.

# The Debian packages of the Rust toolchain the crate is packed and tested with (Rust 1.63, the
# crate's rust-version).
RUST_KIT_PACKAGES=(cargo rustc)
# The Tauri sidecar names of the service (bundle.externalBin: NAME-<target triple>).
RUST_KIT_LINUX_SIDECAR=korvessa-client-services-x86_64-unknown-linux-gnu
RUST_KIT_WINDOWS_SIDECAR=korvessa-client-services-x86_64-pc-windows-msvc.exe

# debian_cargo ARGS...: Debian's cargo with Debian's rustc and rustdoc, whatever PATH holds (a
# toolchain installed by hand puts its own rustc first).
debian_cargo() {
  RUSTC=/usr/bin/rustc RUSTDOC=/usr/bin/rustdoc /usr/bin/cargo "$@"
}

# newest_rust_bin: the folder of a toolchain installed by hand with rustup ($HOME/.cargo/bin,
# else /root/.cargo/bin), which a bare PATH as under env -i lacks; status 1 when there is none.
newest_rust_bin() {
  local dir
  for dir in "${HOME:-/nonexistent}/.cargo/bin" /root/.cargo/bin; do
    if [ -x "$dir/cargo" ] && [ -x "$dir/rustc" ]; then
      echo "$dir"
      return 0
    fi
  done
  return 1
}

# newest_cargo ARGS...: that toolchain's cargo with its own rustc, rustdoc, clippy and rustfmt,
# and the rustup home beside it unless the caller names one.
newest_cargo() (
  dir=$(newest_rust_bin) || exit 1
  if [ -z "${RUSTUP_HOME:-}" ] && [ -d "$dir/../../.rustup" ]; then
    RUSTUP_HOME=$(cd "$dir/../../.rustup" && pwd)
    export RUSTUP_HOME
  fi
  export PATH=$dir:$PATH RUSTC=$dir/rustc RUSTDOC=$dir/rustdoc
  exec "$dir/cargo" "$@"
)

# rust_settings CARGO_HOME: cargo runs offline, without colours, with its home (and so its
# configuration) in CARGO_HOME, and without flags or wrappers from the caller's environment.
rust_settings() {
  export CARGO_HOME=$1 CARGO_NET_OFFLINE=true CARGO_TERM_COLOR=never
  unset RUSTFLAGS RUSTDOCFLAGS CARGO_ENCODED_RUSTFLAGS CARGO_TARGET_DIR CARGO_BUILD_TARGET \
    RUSTC_WRAPPER CARGO_BUILD_RUSTC_WRAPPER CARGO_INCREMENTAL
}

# pack_rust_kit OUT_DIR VERSION: packs the crate with Debian's cargo from a copy of kits/rust
# outside any git checkout (so cargo records no commit and lists the files itself) into
# OUT_DIR/korvessa-launcher-kit-VERSION.crate. cargo 0.66 dates every member at one fixed time
# and gives modes 0644 (0755 for programs), so one commit packs the same bytes anywhere. The
# crate is not compiled here: the Rust kit stage builds its example against the packed crate.
pack_rust_kit() {
  local out=$1 version=$2 source manifest_version
  manifest_version=$(sed -n 's/^version = "\(.*\)"$/\1/p' kits/rust/Cargo.toml | head -n 1)
  if [ "$manifest_version" != "$version" ]; then
    echo "kits/rust/Cargo.toml has version $manifest_version, the project $version" >&2
    return 1
  fi
  source=$(mktemp -d /tmp/kcs-rust-kit-crate.XXXXXX)
  tar -C kits/rust --exclude=./target --exclude=./Cargo.lock -cf - . | tar -C "$source" -xf -
  (cd "$source" && CARGO_TARGET_DIR=$source/target debian_cargo package --offline --no-verify \
    --quiet) || { rm -rf "$source"; return 1; }
  mv "$source/target/package/korvessa-launcher-kit-$version.crate" "$out/"
  rm -rf "$source"
}

# check_rust_kit_crate CRATE VERSION: the crate holds its manifest (of VERSION, without
# dependencies), README.md, LICENSE and the library's sources, and nothing else.
check_rust_kit_crate() {
  local crate=$1 version=$2 top=korvessa-launcher-kit-$2 listing entry manifest
  listing=$(tar -tzf "$crate")
  while read -r entry; do
    [[ $entry =~ ^$top/(Cargo\.toml|Cargo\.toml\.orig|LICENSE|README\.md|src/[a-z_]+\.rs)$ ]] ||
      { echo "the crate holds $entry" >&2; return 1; }
  done <<<"$listing"
  for entry in Cargo.toml LICENSE README.md src/lib.rs; do
    grep -qx "$top/$entry" <<<"$listing" || { echo "the crate lacks $entry" >&2; return 1; }
  done
  manifest=$(tar -xOzf "$crate" "$top/Cargo.toml")
  grep -qx "version = \"$version\"" <<<"$manifest" ||
    { echo "the crate's Cargo.toml is not of version $version" >&2; return 1; }
  # Any entry under a [dependencies], [dev-dependencies], [build-dependencies] or
  # [target.*.dependencies] table.
  if awk '/^\[/ { in_deps = /dependencies/ } in_deps && /=/ { found = 1 } END { exit !found }' \
    <<<"$manifest"; then
    echo "the crate's Cargo.toml names dependencies" >&2
    return 1
  fi
}

# stage_rust_sidecars LINUX_TREE WINDOWS_TREE OUT_DIR: bin/korvessa-client-services of the
# installed LINUX_TREE and bin/korvessa-client-services.exe of WINDOWS_TREE into OUT_DIR under
# their Tauri sidecar names, mode 0755.
stage_rust_sidecars() {
  install -m 0755 "$1/bin/korvessa-client-services" "$3/$RUST_KIT_LINUX_SIDECAR"
  install -m 0755 "$2/bin/korvessa-client-services.exe" "$3/$RUST_KIT_WINDOWS_SIDECAR"
}

# package_rust_kit OUT_DIR VERSION LINUX_TREE WINDOWS_TREE: the .crate and the two sidecars
# into OUT_DIR (scripts/package.sh).
package_rust_kit() (
  ensure_packages "${RUST_KIT_PACKAGES[@]}"
  rust_settings "$(mktemp -d)"
  trap 'rm -rf "$CARGO_HOME"' EXIT
  pack_rust_kit "$1" "$2"
  stage_rust_sidecars "$3" "$4" "$1"
)

# check_rust_kit_packages OUT_DIR VERSION TARBALL ZIP: the crate is whole, and the sidecars
# are the very programs of the .tar.gz and the .zip (scripts/test-packages.sh).
check_rust_kit_packages() {
  local out=$1 version=$2
  check_rust_kit_crate "$out/korvessa-launcher-kit-$version.crate" "$version" || return 1
  tar -xzOf "$3" --wildcards '*/bin/korvessa-client-services' | cmp - "$out/$RUST_KIT_LINUX_SIDECAR" ||
    { echo "$RUST_KIT_LINUX_SIDECAR is not the .tar.gz's service" >&2; return 1; }
  unzip -p "$4" '*/bin/korvessa-client-services.exe' | cmp - "$out/$RUST_KIT_WINDOWS_SIDECAR" ||
    { echo "$RUST_KIT_WINDOWS_SIDECAR is not the .zip's service" >&2; return 1; }
  [ -x "$out/$RUST_KIT_LINUX_SIDECAR" ] || { echo "$RUST_KIT_LINUX_SIDECAR lacks its run bit" >&2; return 1; }
}

# wine_path PATH: the absolute Unix PATH as a Windows program under Wine names it (drive Z:).
wine_path() {
  local path=${1//\//\\}
  echo "Z:$path"
}
