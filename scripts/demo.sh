#!/usr/bin/env bash
# The main job: installs what is missing, builds the service and its optional tools (all that
# `cmake --install build --component demo` installs), and plays one whole launcher session as a
# timeline (demo-launcher). Arguments go to the demo, e.g. --real-discord to show the activity in
# your own running Discord, or --fast for short pauses.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
ensure_packages cmake make g++ nlohmann-json3-dev libgtest-dev

log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# The compiler's progress, one file at a time: on a terminal as one line rewritten in place,
# otherwise one line per file.
show_progress() {
  local line what
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    [[ $line =~ ^\[\ *([0-9]+)%\]\ (Building\ CXX\ object|Linking\ CXX\ [a-z\ ]+)\ (.*)$ ]] || continue
    what=${BASH_REMATCH[3]##*/}
    what=${what%.o}
    if [ -t 1 ]; then
      printf '\r  [%3s%%] %-64.64s' "${BASH_REMATCH[1]}" "$what"
    else
      printf '  [%3s%%] %s\n' "${BASH_REMATCH[1]}" "$what"
    fi
  done
  if [ -t 1 ]; then printf '\r%76s\r' ''; fi
}

echo "building korvessa-client-services and the demo (preset default, into build/) ..."
echo "(the first build compiles about 40 files, some three minutes on two cores; later runs"
echo " rebuild only what changed)"
if ! { cmake --preset default && cmake --build --preset default -j "$(nproc)" \
         --target korvessa-client-services demo-launcher discord-standin presence-check; } 2>&1 | show_progress; then
  cat "$log" >&2
  echo "The build failed; see the output above." >&2
  exit 1
fi
echo "build done"
echo
exec ./build/tools/demo-launcher "$@"
