#!/usr/bin/env bash
# Launcher kit stage: installs the kit (install component "kit") into a scratch prefix, builds
# examples/launcher against that prefix alone, from a copy outside the source tree, and runs it
# against the built service: natively on Linux, and cross-built for Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh

ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev \
  g++-mingw-w64-x86-64-posix wine64 googletest util-linux
started=$SECONDS
root=$PWD
scratch=$root/build-kit
rm -rf "$scratch"
mkdir -p "$scratch/client"
cp -r examples/launcher "$scratch/example-source"

echo "-- Linux"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target korvessa-client-services kcs_launcher_kit \
  >/dev/null
cmake --install build --prefix "$scratch/linux/prefix" --component kit --strip >/dev/null
cmake -S "$scratch/example-source" -B "$scratch/linux/example" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$scratch/linux/prefix" >/dev/null
cmake --build "$scratch/linux/example" -j "$(nproc)" >/dev/null
# A private runtime directory: the registered presence must not reach a real Discord.
mkdir -p "$scratch/runtime"
chmod 700 "$scratch/runtime"
XDG_RUNTIME_DIR=$scratch/runtime \
  "$scratch/linux/example/example-launcher" "$root/build/korvessa-client-services" "$scratch/client"

echo "-- Windows (Wine)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target korvessa-client-services kcs_launcher_kit \
  >/dev/null
cmake --install build-windows --prefix "$scratch/windows/prefix" --component kit --strip \
  >/dev/null
# The toolchain file searches packages only inside the cross sysroot; a staging prefix is the
# one other place it looks.
cmake -S "$scratch/example-source" -B "$scratch/windows/example" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_STAGING_PREFIX="$scratch/windows/prefix" \
  -DCMAKE_PREFIX_PATH="$scratch/windows/prefix" >/dev/null
cmake --build "$scratch/windows/example" -j "$(nproc)" >/dev/null
# The Windows build's own Wine prefix (made once by the windows stage, or here on first use).
cmake/wine-run.sh "$root/build-windows/wineprefix" "$scratch/windows/example/example-launcher.exe" \
  "$root/build-windows/korvessa-client-services.exe" "$scratch/client"

echo "launcher kit stage passed in $((SECONDS - started)) s"
