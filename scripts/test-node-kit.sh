#!/usr/bin/env bash
# Node launcher kit stage: packs korvessa-launcher-kit (kits/node) from a clean copy with npm ci
# and npm pack, carrying the service built for Linux and cross-built for Windows, checks what
# the tarball holds, installs it into a scratch folder, runs the kit's tests there (a session
# with the carried service among them), type-checks a strict TypeScript consumer with the
# TypeScript the kit pins and with the newest the registry serves, and runs
# examples/node-launcher against the installed tarball.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/service_binaries.sh
source scripts/lib/node_kit.sh

ensure_packages cmake make g++ nlohmann-json3-dev g++-mingw-w64-x86-64-posix googletest
ensure_node
started=$SECONDS
root=$PWD
work=$root/build-node-kit
fresh_folder "$work" npm-cache
npm_settings "$work/npm-cache"

version=$(project_version)
kit_version=$(node -p 'require("./kits/node/package.json").version')
if [ "$kit_version" != "$version" ]; then
  echo "kits/node/package.json has version $kit_version, the project $version" >&2
  exit 1
fi
cmp -s LICENSE kits/node/LICENSE || { echo "kits/node/LICENSE differs from LICENSE" >&2; exit 1; }
echo "-- node $(node --version), npm $(npm --version)"

# The service for both platforms the package carries; only its target is built.
for preset in default windows; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)" --target korvessa-client-services >/dev/null
done
install_service build "$work/service-linux"
install_service build-windows "$work/service-windows"

echo "-- npm ci, npm pack"
pack_node_kit "$work" "$version" "$work/service-linux" "$work/service-windows"
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
cp kits/node/test/*.mjs kits/node/test/consumer.* kits/node/test/tsconfig.json "$work/consumer/test/"
types_node=$(node -p 'require("./kits/node/package.json").devDependencies["@types/node"]')
# In a folder of its own rather than with --prefix, which would also move npm's global
# configuration file away from the one the system's npm reads.
mkdir -p "$work/typescript-newest"
printf '{ "name": "typescript-newest", "version": "0.0.0", "private": true }\n' \
  >"$work/typescript-newest/package.json"
(cd "$work/typescript-newest" &&
  npm install --no-audit --no-fund --loglevel=error typescript@latest >/dev/null)
(
  cd "$work/consumer"
  # A TypeScript launcher installs @types/node beside the kit (its optional peer).
  npm install --no-audit --no-fund --loglevel=error "$tarball" "@types/node@$types_node" >/dev/null
  KCS_SERVICE=$root/build/korvessa-client-services KCS_CASES=$root/kits/cases.json \
    node --test --test-reporter=tap test/*.test.mjs >"$work/tests.tap" ||
    { cat "$work/tests.tap"; exit 1; }
  grep -E '^# (tests|pass|fail)' "$work/tests.tap"
  # Installed from the tarball, the kit carries its service: no test is skipped for want of it.
  grep -qx '# skipped 0' "$work/tests.tap" || { grep -E '^# skipped|# SKIP' "$work/tests.tap"; exit 1; }
  # The kit's declarations against Node 18's types, under the consumer's own strict settings
  # alone; its @ts-expect-error lines fail the check should they ever resolve to 'any'.
  for tsc in "$work/source/node_modules/.bin/tsc" "$work/typescript-newest/node_modules/.bin/tsc"; do
    "$tsc" -p test/tsconfig.json
    echo "type check of a TypeScript consumer passed with $("$tsc" --version)"
  done
)

echo "-- examples/node-launcher"
cp -r examples/node-launcher "$work/example"
(
  cd "$work/example"
  npm install --no-audit --no-fund --loglevel=error "$tarball" >/dev/null
  node launcher.js "$root/build/korvessa-client-services" "$work/client"
)

echo "node launcher kit stage passed in $((SECONDS - started)) s"
