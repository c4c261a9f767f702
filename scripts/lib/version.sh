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
