#!/usr/bin/env bash
# The main job: installs what is missing, builds the service and its tools, and plays one whole
# launcher session as a timeline (demo-launcher). Arguments go to the demo, e.g. --real-discord
# to show the activity in your own running Discord, or --fast for short pauses.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
echo "building korvessa-client-services and the demo (preset default) ..."
if ! { cmake --preset default && cmake --build --preset default -j "$(nproc)" \
         --target korvessa-client-services demo-launcher discord-standin; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "The build failed; see the output above." >&2
  exit 1
fi
echo
exec ./build/tools/demo-launcher "$@"
