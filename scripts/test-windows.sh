#!/usr/bin/env bash
# Windows stage: cross-builds the service, its tools and tests with mingw-w64 (preset "windows"),
# runs the unit tests and the Windows end-to-end program under Wine, and packs the ZIP.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh

ensure_packages cmake make g++-mingw-w64-x86-64-posix wine64 googletest nlohmann-json3-dev util-linux

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
# The first Wine start creates the build folder's private prefix (a few seconds, once).
ctest --preset windows

# What a launcher ships: the installed executable and the archive made from it.
stage=build-windows/stage
rm -rf "$stage"
cmake --install build-windows --prefix "$stage" --strip >/dev/null
test -f "$stage/bin/korvessa-client-services.exe"
(cd build-windows && cpack >/dev/null)
ls build-windows/korvessa-client-services-*-win64.zip
