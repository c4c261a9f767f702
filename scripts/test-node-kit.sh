#!/usr/bin/env bash
# Node launcher kit stage: packs korvessa-launcher-kit (kits/node) from a clean copy with npm ci
# and npm pack, carrying the service built for Linux and cross-built for Windows, checks what
# the tarball holds, installs it into a scratch folder, runs the kit's tests there (a session
# with the carried service among them), type-checks a strict TypeScript consumer with the
# TypeScript the kit pins and with the newest the registry serves, checks that npm pack in the
# installed copy keeps its build, runs examples/node-launcher against the installed tarball, and
# runs it bundled by esbuild (the kit inlined, as an ES module and as CommonJS) from a folder
# under /tmp with the service beside the bundle and no servicePath.
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
# The bundler the stage builds a bundled launcher with.
esbuild_version=0.28.2
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
  grep -E '^# (tests|pass|fail|skipped)' "$work/tests.tap"
  # Installed from the tarball, the kit carries its service: no test is skipped for want of it.
  # Only the table's rows with numbers a JavaScript number cannot hold are.
  if grep '# SKIP' "$work/tests.tap" |
    grep -v '# SKIP beyond what a JavaScript number holds exactly$'; then
    exit 1
  fi
  # The kit's declarations against Node 18's types, under the consumer's own strict settings
  # alone; its @ts-expect-error lines fail the check should they ever resolve to 'any'.
  for tsc in "$work/source/node_modules/.bin/tsc" "$work/typescript-newest/node_modules/.bin/tsc"; do
    "$tsc" -p test/tsconfig.json
    echo "type check of a TypeScript consumer passed with $("$tsc" --version)"
  done
)

echo "-- npm pack in the installed copy keeps its build"
mkdir -p "$work/repacked"
(cd "$work/consumer/node_modules/korvessa-launcher-kit" &&
  npm pack --pack-destination "$work/repacked" --loglevel=error >/dev/null)
test -f "$work/consumer/node_modules/korvessa-launcher-kit/dist/cjs/index.js" ||
  { echo "npm pack in the installed copy removed dist/" >&2; exit 1; }
# Not grep -q: tar would be cut off mid-listing, and the pipeline fail.
tar -tzf "$work/repacked/korvessa-launcher-kit-$version.tgz" |
  grep -x package/dist/esm/index.mjs >/dev/null ||
  { echo "npm pack in the installed copy packed no build" >&2; exit 1; }

echo "-- examples/node-launcher, with the carried service"
cp -r examples/node-launcher "$work/example"
(
  cd "$work/example"
  npm install --no-audit --no-fund --loglevel=error "$tarball" >/dev/null
  node launcher.mjs "$work/client"
)

echo "-- examples/node-launcher bundled by esbuild $esbuild_version, run from /tmp"
mkdir -p "$work/esbuild"
printf '{ "name": "bundler", "version": "0.0.0", "private": true }\n' >"$work/esbuild/package.json"
(cd "$work/esbuild" &&
  npm install --no-audit --no-fund --loglevel=error "esbuild@$esbuild_version" >/dev/null)
bundled=$(mktemp -d /tmp/kcs-bundled-launcher.XXXXXX)
trap 'rm -rf "$bundled"' EXIT
# CommonJS output leaves the kit's import.meta empty (esbuild warns so): the kit then looks
# beside the main script, as it does in the ES module bundle whose own folder holds no package.
for format in esm cjs; do
  "$work/esbuild/node_modules/.bin/esbuild" "$work/example/launcher.mjs" --bundle --platform=node \
    --format=$format --outfile="$bundled/launcher.$format.js" --log-level=error
done
mv "$bundled/launcher.esm.js" "$bundled/launcher.mjs"
mv "$bundled/launcher.cjs.js" "$bundled/launcher.cjs"
if grep -E '\brequire\(|__dirname' "$bundled/launcher.mjs"; then
  echo "the ES module bundle uses CommonJS" >&2
  exit 1
fi
install -m 0755 "$work/service-linux/bin/korvessa-client-services" "$bundled/"
for main in launcher.mjs launcher.cjs; do
  (cd "$bundled" && node "$main" "$work/client" | sed "s/^/$main: /")
done

echo "node launcher kit stage passed in $((SECONDS - started)) s"
