#!/usr/bin/env bash
# Reproducibility stage: builds the packages a second time, from a fresh clone of the last commit
# at another path (and so at another time), without ccache, and checks that every file in its
# build-packages/ is byte for byte the one in this checkout's build-packages/ (made by the
# packages stage just before; built here when missing). Uncommitted changes are not in the clone:
# commit before running it. Prints both sides' SHA-256 checksums side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
export LC_ALL=C.UTF-8

ensure_packages git diffutils unzip
started=$SECONDS
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "note: uncommitted changes; the clone has the last commit only" >&2
fi
scratch=$(mktemp -d /tmp/kcs-reproducible.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# plain_build DIR: a clone of the last commit in DIR with its packages built without ccache
# (every object compiled afresh; no compiler launcher from the caller's environment).
plain_build() {
  git clone -q "$PWD" "$1"
  (cd "$1" && env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER CCACHE_DISABLE=1 \
    bash scripts/package.sh >"$1.log" 2>&1) ||
    { tail -n 30 "$1.log" >&2; echo "the package build in $1 failed" >&2; exit 1; }
}

# The first side is the packages stage's build, unless that went through a compiler launcher:
# ccache runs the compiler with relative paths, which the path maps do not cover, so its Linux
# program differs from a plain build's. Then the first side is built from a clone as well.
launcher=${CMAKE_CXX_COMPILER_LAUNCHER:-}
for cache in build/CMakeCache.txt build-windows/CMakeCache.txt; do
  if [ -f "$cache" ]; then
    launcher+=$(sed -n 's/^CMAKE_CXX_COMPILER_LAUNCHER:[A-Z]*=//p' "$cache")
  fi
done
ours=build-packages
if [ -n "$launcher" ]; then
  echo "note: CMAKE_CXX_COMPILER_LAUNCHER is set; both sides are built afresh from clones" >&2
  plain_build "$scratch/first/korvessa-client-services"
  ours=$scratch/first/korvessa-client-services/build-packages
elif [ ! -f "$ours/SHA256SUMS" ]; then
  bash scripts/package.sh >/dev/null
fi
plain_build "$scratch/second/korvessa-client-services"
theirs=$scratch/second/korvessa-client-services/build-packages

# The two builds' checksums side by side, and the first difference of each file that differs.
diff <(ls -1 "$ours") <(ls -1 "$theirs") >&2 ||
  { echo "the two builds made different files (above: < here, > in the clone)" >&2; exit 1; }
differing=()
for file in "$ours"/*; do
  name=${file##*/}
  printf '%s  %s  %s\n' "$(sha256sum <"$file" | cut -c1-64)" \
    "$(sha256sum <"$theirs/$name" | cut -c1-64)" "$name"
  cmp -s "$file" "$theirs/$name" || differing+=("$name")
done
(cd "$ours" && sha256sum --quiet -c SHA256SUMS)
(cd "$theirs" && sha256sum --quiet -c SHA256SUMS)
if [ ${#differing[@]} -gt 0 ]; then
  # diffoscope unpacks each archive and compares member by member, down to disassembly, so the
  # report names the member and the bytes that differ. Installed only when it is needed.
  ensure_packages diffoscope-minimal
  for name in "${differing[@]}"; do
    diffoscope --no-progress --text - "$ours/$name" "$theirs/$name" | head -n 200 >&2 || true
  done
  echo "the two package builds differ in ${differing[*]} (above: diffoscope's report of each;" \
    "docs/reproducible-builds.md says what to look at)" >&2
  exit 1
fi
echo "reproducible stage passed in $((SECONDS - started)) s"
