#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, and runs each stage in turn.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh

ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev

echo "== Linux build and tests"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
ctest --preset default

# Further stages, each a script of its own; each fails the run on its first failure.
for stage in test-lint test-demo test-windows test-kit test-node-kit test-dotnet-kit test-python-kit \
    test-rust-kit test-packages test-reproducible test-signing test-sanitizers test-fuzz; do
  echo "== $stage"
  bash "scripts/$stage.sh"
done
echo "all test stages passed"
