#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a Windows program under Wine with its own prefix.
# The first run creates the prefix; a lock keeps parallel first runs from creating it twice.
set -eu
prefix=$1
shift
WINE=${KCS_WINE:-/usr/lib/wine/wine64}
# Wine maps wide file names to Unix ones through the locale's character set: without a UTF-8
# locale (no LANG at all gives plain ASCII) a name outside ASCII cannot be created. C.UTF-8 is
# built into Debian's C library, so it needs no locales package. No display either: these are
# console programs, and a first start with a display set may open Wine's set-up windows.
LC_ALL=C.UTF-8
export LC_ALL
unset LANGUAGE DISPLAY WAYLAND_DISPLAY WINEARCH
WINEPREFIX=$prefix
WINEDEBUG=${WINEDEBUG:--all}
# No Gecko/Mono prompts and no desktop integration for a throw-away prefix.
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    # The prefix counts as ready only once wineboot has succeeded: a half-made prefix is removed
    # and built again (once here, and on the next run if that fails too).
    attempt=1
    while [ ! -f "$prefix/.ready" ]; do
      if "$WINE" wineboot -i >"$prefix.boot.log" 2>&1; then
        "${KCS_WINESERVER:-/usr/lib/wine/wineserver64}" -w 2>/dev/null || true
        touch "$prefix/.ready"
        break
      fi
      "${KCS_WINESERVER:-/usr/lib/wine/wineserver64}" -k 2>/dev/null || true
      echo "wine-run.sh: wineboot failed for the prefix $prefix (attempt $attempt); its output:" >&2
      tail -n 20 "$prefix.boot.log" >&2 || true
      rm -rf "$prefix"
      mkdir -p "$prefix"
      if [ "$attempt" -ge 2 ]; then
        echo "wine-run.sh: giving up; the prefix is built again on the next run" >&2
        exit 1
      fi
      attempt=$((attempt + 1))
    done
  ) 9>"$prefix.lock"
fi
exec "$WINE" "$@"
