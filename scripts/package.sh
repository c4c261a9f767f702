#!/usr/bin/env bash
# Builds every package into build-packages/: from the Linux build (preset "default") a .tar.gz
# and the Debian packages korvessa-client-services and korvessa-launcher-kit-dev, from the
# Windows cross build (preset "windows") the .zip with the service and the optional tools, the
# npm package korvessa-launcher-kit (kits/node) stamped with the project's version, and the NuGet
# package Korvessa.LauncherKit (kits/dotnet) and the two wheels of the Python kit (kits/python),
# all carrying the service of the .tar.gz and of the .zip (signed, when they are), the Rust crate
# korvessa-launcher-kit (kits/rust) with that same service beside it under the two Tauri sidecar
# names; then the bill of materials and SHA256SUMS over all of them. Only the packed targets are
# built, and the presets' build folders are reused, so after scripts/test.sh little is left to
# compile.
#
#   bash scripts/package.sh [--sign-pkcs12 FILE --password-file FILE [--timestamp URL]]
#
# With --sign-pkcs12 the .exe files are signed (scripts/sign-windows.sh) before the .zip and the
# npm package are made.
#
# The packages are reproducible: the same commit built with the same Debian toolchain gives the
# same bytes, wherever and whenever it is built (docs/reproducible-builds.md). Every time stamp
# is the last commit's time (SOURCE_DATE_EPOCH, when the caller does not set it), owners are
# root, modes are 0755 or 0644, and archive members are sorted by name.
set -euo pipefail

usage() {
  echo "usage: bash scripts/package.sh [--sign-pkcs12 FILE --password-file FILE [--timestamp URL]]" >&2
  exit 2
}
sign_args=()
pkcs12="" password_file="" timestamp=""
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    # Made absolute here: the script works from the repository's root.
    --sign-pkcs12) pkcs12=$(realpath -m -- "$2") ;;
    --password-file) password_file=$(realpath -m -- "$2") ;;
    --timestamp) timestamp=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -n "$pkcs12" ]; then
  [ -n "$password_file" ] || usage
  sign_args=(--pkcs12 "$pkcs12" --password-file "$password_file")
  [ -z "$timestamp" ] || sign_args+=(--timestamp "$timestamp")
elif [ -n "$password_file" ] || [ -n "$timestamp" ]; then
  usage
fi

cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/service_binaries.sh
source scripts/lib/node_kit.sh
source scripts/lib/dotnet_kit.sh
source scripts/lib/python_kit.sh
source scripts/lib/rust_kit.sh
export TZ=UTC
umask 022

ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev dpkg-dev file zip unzip \
  g++-mingw-w64-x86-64-posix googletest
ensure_node
ensure_python_kit_build

SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH

out="build-packages"
rm -rf "$out"
mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# normalise DIR: every file and folder under DIR (and DIR) owned by the caller, writable by it
# only, readable (and, folders and programs, executable) by all, and dated SOURCE_DATE_EPOCH.
normalise() {
  chmod -R u+rwX,go+rX,go-w "$1"
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
# package_file_name BUILD_DIR: the archives' base name (name-version-system) CPack would use.
package_file_name() {
  sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$1/CPackConfig.cmake"
}
# stage BUILD_DIR DIR COMPONENT...: a stripped install of the components into DIR.
stage() {
  local build=$1 dir=$2
  shift 2
  local component
  for component in "$@"; do
    cmake --install "$build" --prefix "$dir" --component "$component" --strip >/dev/null
  done
  normalise "$dir"
}

# Linux: the Debian packages from CPack (which dates their members at SOURCE_DATE_EPOCH, owns
# them by root and sorts them), and the .tar.gz of both components.
# CPack installs through the build's "preinstall" target, which would build everything first
# (the tests too): here it builds nothing, what is packed is built just before.
cmake --preset default -D CMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build --preset default -j "$(nproc)" --target korvessa-client-services kcs_launcher_kit
cpack --config build/CPackConfig.cmake -G DEB -B "$scratch/cpack" >/dev/null
mv "$scratch"/cpack/*.deb "$out"/
name=$(package_file_name build)
linux_tree=$scratch/linux/$name
stage build "$linux_tree" service kit
linux_service=$linux_tree/bin/korvessa-client-services
tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
  -C "$scratch/linux" -cf - "$name" | gzip -9 -n >"$out/$name.tar.gz"

# Windows: the installed tree, signed when asked, zipped with sorted members and no extra
# (owner, time) fields.
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target korvessa-client-services presence-check \
  demo-launcher discord-standin
name=$(package_file_name build-windows)
windows_tree=$scratch/windows/$name
stage build-windows "$windows_tree" service demo
if [ ${#sign_args[@]} -gt 0 ]; then
  bash scripts/sign-windows.sh "${sign_args[@]}" "$scratch/windows/$name"/bin/*.exe
  normalise "$scratch/windows/$name"
fi
zipfile=$PWD/$out/$name.zip
(cd "$scratch/windows" && find "$name" | sort | zip -X -9 -q -@ "$zipfile")

# The npm package, from a clean copy of the kit, with the service staged above; npm's cache is
# the node kit stage's.
npm_settings "$PWD/build-node-kit/npm-cache"
rm -rf build-node-kit/package
mkdir -p build-node-kit/package
version=$(project_version)
pack_node_kit "$PWD/build-node-kit/package" "$version" "$linux_tree" "$windows_tree"
mv "build-node-kit/package/korvessa-launcher-kit-$version.tgz" "$out/"
rm -rf build-node-kit/package

# The NuGet package Korvessa.LauncherKit (kits/dotnet), carrying the two services staged above.
package_dotnet_kit "$out" "$linux_service" "$windows_tree/bin/korvessa-client-services.exe"

# The Python kit's wheels (kits/python), for Linux and for Windows, carrying the same services.
build_python_kit_wheels "$out" "$version" "$linux_service" "$windows_tree/bin/korvessa-client-services.exe"
# The crate korvessa-launcher-kit (kits/rust), and the two services staged above under the names
# a Tauri build looks for (bundle.externalBin).
package_rust_kit "$out" "$version" "$linux_tree" "$windows_tree"

# The bill of materials, where the project has one, then the checksums of everything.
if [ -f scripts/sbom.sh ]; then
  bash scripts/sbom.sh "$out"
fi
(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort |
  xargs -r -d '\n' sha256sum) >"$scratch/SHA256SUMS"
mv "$scratch/SHA256SUMS" "$out/SHA256SUMS"
ls -1 "$out"
