#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a Windows program under Wine with its own prefix.
# The first run creates the prefix; a lock keeps parallel first runs from creating it twice.
set -eu
prefix=$1
shift
WINE=${KCS_WINE:-/usr/lib/wine/wine64}
WINEPREFIX=$prefix
WINEDEBUG=${WINEDEBUG:--all}
# No Gecko/Mono prompts and no desktop integration for a throw-away prefix.
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/.ready" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1 || true
      "${KCS_WINESERVER:-/usr/lib/wine/wineserver64}" -w 2>/dev/null || true
      touch "$prefix/.ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$WINE" "$@"
