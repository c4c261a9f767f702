#!/usr/bin/env bash
# Reproducibility stage: builds the packages a second time, from a fresh clone of the last commit
# at another path (and so at another time), without ccache, and checks that every file in its
# build-packages/ is byte for byte the one in this checkout's build-packages/ (made by the
# packages stage just before; built here when missing). Uncommitted changes are not in the clone:
# commit before running it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
export LC_ALL=C.UTF-8

ensure_packages git diffutils unzip
started=$SECONDS
ours=build-packages
[ -f "$ours/SHA256SUMS" ] || bash scripts/package.sh >/dev/null
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "note: uncommitted changes; the second build has the last commit only" >&2
fi

scratch=$(mktemp -d /tmp/kcs-reproducible.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
clone=$scratch/korvessa-client-services
git clone -q "$PWD" "$clone"
# Every object compiled afresh: no compiler launcher (ccache) from the caller's environment.
(cd "$clone" && env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER CCACHE_DISABLE=1 \
  bash scripts/package.sh >"$scratch/package.log" 2>&1) ||
  { tail -n 30 "$scratch/package.log" >&2; echo "the package build in the clone failed" >&2; exit 1; }
theirs=$clone/build-packages

# The two builds' checksums side by side, and the first difference of each file that differs.
diff <(ls -1 "$ours") <(ls -1 "$theirs") >&2 ||
  { echo "the two builds made different files (above: < here, > in the clone)" >&2; exit 1; }
differ=0
for file in "$ours"/*; do
  name=${file##*/}
  printf '%s  %s  %s\n' "$(sha256sum <"$file" | cut -c1-64)" \
    "$(sha256sum <"$theirs/$name" | cut -c1-64)" "$name"
  cmp "$file" "$theirs/$name" >&2 || differ=1
done
(cd "$ours" && sha256sum --quiet -c SHA256SUMS)
(cd "$theirs" && sha256sum --quiet -c SHA256SUMS)
if [ "$differ" -ne 0 ]; then
  echo "the two package builds differ (docs/reproducible-builds.md says what to look at)" >&2
  exit 1
fi
echo "reproducible stage passed in $((SECONDS - started)) s"
