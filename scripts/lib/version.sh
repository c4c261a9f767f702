# shellcheck shell=bash
# project_version: the project's version, as CMakeLists.txt's project() command states it (the one
# place it is written). Read with sed, so no configure step is needed. Sourced by the scripts.
project_version() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  local version
  version=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*\).*/\1/p' \
    "$root/CMakeLists.txt" | head -n 1)
  if [ -z "$version" ]; then
    echo "no project(... VERSION x.y.z) in $root/CMakeLists.txt" >&2
    return 1
  fi
  echo "$version"
}

# source_date_epoch: the time every packed file and document carries: the caller's
# SOURCE_DATE_EPOCH, else the last commit's time, else (a source tree outside git) the newest
# source file's.
source_date_epoch() {
  local root epoch=${SOURCE_DATE_EPOCH:-}
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  [ -n "$epoch" ] || epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)
  if [ -z "$epoch" ]; then
    epoch=$(cd "$root" && find CMakeLists.txt cmake src tools -type f -printf '%T@\n' |
      sort -n | tail -n 1 | cut -d . -f 1)
  fi
  echo "$epoch"
}
