#!/usr/bin/env bash
# Test stage: the demo's launcher session with short pauses (--fast), from the default build.
# Fails when any step of the session did not check out.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" \
  --target korvessa-client-services demo-launcher discord-standin >/dev/null
if ./build/tools/demo-launcher --fast; then
  echo "demo: passed"
else
  status=$?
  echo "demo: failed with status $status" >&2
  exit "$status"
fi
