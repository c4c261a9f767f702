#!/usr/bin/env bash
# Node launcher kit stage: packs korvessa-launcher-kit (kits/node) from a clean copy with npm ci
# and npm pack, checks what the tarball holds, installs it into a scratch folder, runs the kit's
# tests and a type check of a TypeScript consumer there against the built service, and runs
# examples/node-launcher against the installed tarball.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/node_kit.sh

ensure_packages cmake make g++ nlohmann-json3-dev
ensure_node
started=$SECONDS
root=$PWD
work=$root/build-node-kit
# Everything but npm's cache (kept, so a rerun downloads nothing) starts afresh.
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name npm-cache -exec rm -rf {} +
npm_settings "$work/npm-cache"

version=$(project_version)
kit_version=$(node -p 'require("./kits/node/package.json").version')
if [ "$kit_version" != "$version" ]; then
  echo "kits/node/package.json has version $kit_version, the project $version" >&2
  exit 1
fi
cmp -s LICENSE kits/node/LICENSE || { echo "kits/node/LICENSE differs from LICENSE" >&2; exit 1; }
echo "-- node $(node --version), npm $(npm --version)"

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target korvessa-client-services >/dev/null

echo "-- npm ci, npm pack"
pack_node_kit "$work" "$version"
tarball=$work/korvessa-launcher-kit-$version.tgz
check_node_kit_tarball "$tarball" "$version"

# A private runtime directory: the registered presence must not reach a real Discord.
mkdir -p "$work/runtime" "$work/client"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime

echo "-- tests against the installed tarball"
mkdir -p "$work/consumer/test"
printf '{ "name": "kit-consumer", "version": "0.0.0", "private": true }\n' \
  >"$work/consumer/package.json"
cp kits/node/test/*.mjs kits/node/test/consumer.* "$work/consumer/test/"
(
  cd "$work/consumer"
  npm install --no-audit --no-fund --loglevel=error "$tarball" >/dev/null
  KCS_SERVICE=$root/build/korvessa-client-services \
    node --test --test-reporter=tap test/*.test.mjs >"$work/tests.tap" ||
    { cat "$work/tests.tap"; exit 1; }
  grep -E '^# (tests|pass|fail)' "$work/tests.tap"
  # The kit's declarations against Node 18's types; the consumer's @ts-expect-error lines fail
  # the check should they ever resolve to 'any'. Library files are not checked again.
  "$work/source/node_modules/.bin/tsc" --strict --noEmit --skipLibCheck --module node16 \
    --moduleResolution node16 --target es2022 --lib es2022 --types node \
    --typeRoots "$work/source/node_modules/@types" test/consumer.mts test/consumer.cts
  echo "type check of a TypeScript consumer passed"
)

echo "-- examples/node-launcher"
cp -r examples/node-launcher "$work/example"
(
  cd "$work/example"
  npm install --no-audit --no-fund --loglevel=error "$tarball" >/dev/null
  node launcher.js "$root/build/korvessa-client-services" "$work/client"
)

echo "node launcher kit stage passed in $((SECONDS - started)) s"
