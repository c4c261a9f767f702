#!/usr/bin/env bash
# Builds every package into build-packages/: from the Linux build (preset "default") a .tar.gz
# and the Debian packages korvessa-client-services and korvessa-launcher-kit-dev, from the
# Windows cross build (preset "windows") the .zip with the service and the optional tools, and
# the npm package korvessa-launcher-kit (kits/node) stamped with the project's version. Only
# the packed targets are built, and the presets' build folders are reused, so after
# scripts/test.sh little is left to compile.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/node_kit.sh

ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev dpkg-dev file \
  g++-mingw-w64-x86-64-posix googletest
ensure_node

out=build-packages
rm -rf "$out"
mkdir -p "$out"

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target korvessa-client-services kcs_launcher_kit
cpack --config build/CPackConfig.cmake -B "$PWD/$out" >/dev/null

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target korvessa-client-services presence-check \
  demo-launcher discord-standin
cpack --config build-windows/CPackConfig.cmake -B "$PWD/$out" >/dev/null

rm -rf "$out/_CPack_Packages"

# The npm package, from a clean copy of the kit; npm's cache is the node kit stage's.
npm_settings "$PWD/build-node-kit/npm-cache"
rm -rf build-node-kit/package
mkdir -p build-node-kit/package
version=$(project_version)
pack_node_kit "$PWD/build-node-kit/package" "$version"
mv "build-node-kit/package/korvessa-launcher-kit-$version.tgz" "$out/"
rm -rf build-node-kit/package
ls -1 "$out"
