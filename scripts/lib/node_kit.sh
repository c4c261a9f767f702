# shellcheck shell=bash
# The npm package of the launcher kit (kits/node): node and npm, packing, checking the tarball.
# Sourced by the scripts in scripts/, after scripts/lib/packages.sh and
# scripts/lib/service_binaries.sh.

# ensure_node: the node and npm commands, from Debian when either is missing. A node installed
# some other way is used as it is (Debian's npm package would conflict with it).
ensure_node() {
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    ensure_packages nodejs npm
  fi
}

# npm_settings CACHE_DIR: npm runs quietly with its cache in CACHE_DIR, whoever calls.
npm_settings() {
  export npm_config_cache=$1
  export npm_config_update_notifier=false npm_config_fund=false npm_config_audit=false
  export npm_config_progress=false npm_config_loglevel=error
}

# pack_node_kit WORK VERSION LINUX_TREE WINDOWS_TREE: packs the kit from a clean copy of its
# folder (no node_modules, dist or service) in WORK/source, stamped with VERSION and carrying the
# service of the installed trees (scripts/lib/service_binaries.sh), into
# WORK/korvessa-launcher-kit-VERSION.tgz. The kit is built first and its scripts are left out of
# the packed package.json, so that nothing runs a build (or deletes dist/) in a consumer's copy.
pack_node_kit() {
  local work=$1 version=$2
  rm -rf "$work/source"
  mkdir -p "$work/source"
  tar -C kits/node --exclude=./node_modules --exclude=./dist --exclude=./service \
    --exclude='./*.tgz' -cf - . | tar -C "$work/source" -xf -
  stage_service_binaries "$3" "$4" "$work/source/service/linux-x64" "$work/source/service/win32-x64"
  (
    cd "$work/source" || exit 1
    npm ci --no-audit --no-fund --loglevel=error >/dev/null
    npm run build --silent
    npm pkg delete scripts
    npm pkg set "version=$version"
    npm pack --pack-destination "$work" --loglevel=error >/dev/null
  )
}

# check_node_kit_tarball TARBALL VERSION: the package holds package.json (of VERSION, without
# runtime dependencies or scripts that npm would run in a consumer's copy), README.md, LICENSE,
# the CommonJS and the ES module build with their declarations and the carried service (the
# Linux program with its run bit and its notices), and nothing else; the code points at no
# source maps, and the ES module build holds no CommonJS (no require, no __dirname).
check_node_kit_tarball() {
  local tarball=$1 version=$2 entry
  local linux=package/service/linux-x64/korvessa-client-services
  local windows=package/service/win32-x64/korvessa-client-services.exe
  local allowed='^package/(LICENSE|README\.md|package\.json|dist/esm/package\.json'
  allowed+='|dist/(cjs|esm)/[A-Za-z0-9_-]+\.(js|mjs|d\.ts|d\.mts)'
  allowed+='|service/linux-x64/(NOTICE|LGPL-2\.1|glibc-copyright))$'
  local listing
  listing=$(tar -tzf "$tarball")
  while read -r entry; do
    [[ $entry =~ $allowed || $entry == "$linux" || $entry == "$windows" || $entry == */ ]] ||
      { echo "npm package holds $entry" >&2; return 1; }
  done <<<"$listing"
  for entry in package/LICENSE package/README.md package/package.json package/dist/cjs/index.js \
    package/dist/cjs/index.d.ts package/dist/esm/index.mjs package/dist/esm/index.d.mts \
    package/dist/esm/package.json "$linux" "$windows" package/service/linux-x64/NOTICE \
    package/service/linux-x64/LGPL-2.1 package/service/linux-x64/glibc-copyright; do
    grep -qx "$entry" <<<"$listing" || { echo "npm package lacks $entry" >&2; return 1; }
  done
  tar -tvzf "$tarball" "$linux" | grep -q '^-rwxr-xr-x ' ||
    { echo "npm package's $linux lacks its run bit" >&2; return 1; }
  if tar -xzOf "$tarball" --wildcards 'package/dist/*' | grep -q 'sourceMappingURL'; then
    echo "npm package points at source maps" >&2
    return 1
  fi
  if tar -xzOf "$tarball" --wildcards 'package/dist/esm/*' |
    grep -E '\brequire\b|__dirname|__filename'; then
    echo "npm package's ES module build uses CommonJS" >&2
    return 1
  fi
  # The single quotes hold JavaScript, whose ${...} is its own.
  # shellcheck disable=SC2016
  tar -xzOf "$tarball" package/package.json | node -e '
    const manifest = JSON.parse(require("fs").readFileSync(0, "utf8"));
    const problems = [];
    if (manifest.name !== "korvessa-launcher-kit") problems.push(`name ${manifest.name}`);
    if (manifest.version !== process.argv[1]) problems.push(`version ${manifest.version}`);
    if (Object.keys(manifest.dependencies ?? {}).length > 0) problems.push("runtime dependencies");
    const lifecycle = ["preinstall", "install", "postinstall", "prepublish", "preprepare", "prepare",
      "postprepare", "prepack", "postpack"];
    const scripts = lifecycle.filter((name) => name in (manifest.scripts ?? {}));
    if (scripts.length > 0) problems.push(`scripts ${scripts.join(", ")}`);
    if (problems.length > 0) {
      console.error(`npm package.json: ${problems.join(", ")}`);
      process.exit(1);
    }' "$version"
}
