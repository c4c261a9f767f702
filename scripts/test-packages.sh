#!/usr/bin/env bash
# Packages stage: makes every package with scripts/package.sh and checks what each holds. The
# Debian service package is unpacked into a scratch root and its program run with --help.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/node_kit.sh

ensure_packages dpkg-dev file unzip
ensure_node
started=$SECONDS
bash scripts/package.sh >/dev/null
out=build-packages

one() {  # one PATTERN: the single package matching PATTERN
  local found=("$out"/$1)
  if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
    echo "expected one package $1 in $out" >&2
    exit 1
  fi
  echo "${found[0]}"
}
# holds LISTING_FILE ENTRY...: every entry (an extended regular expression for one whole path)
# is in the listing.
holds() {
  local listing=$1
  shift
  local entry
  for entry in "$@"; do
    grep -Eqx "$entry" "$listing" || { echo "package lacks $entry" >&2; exit 1; }
  done
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

service_deb=$(one 'korvessa-client-services_*.deb')
kit_deb=$(one 'korvessa-launcher-kit-dev_*.deb')
tarball=$(one 'korvessa-client-services-*-Linux.tar.gz')
zip=$(one 'korvessa-client-services-*-win64.zip')
npm_tarball=$(one 'korvessa-launcher-kit-*.tgz')

echo "-- $service_deb"
test "$(dpkg-deb -f "$service_deb" Package)" = korvessa-client-services
dpkg-deb -f "$service_deb" Depends | grep -q 'libc6' ||
  { echo "service package without its libc6 dependency" >&2; exit 1; }
dpkg-deb -c "$service_deb" | awk '{print $6}' >"$scratch/service.list"
holds "$scratch/service.list" './usr/bin/korvessa-client-services' \
  './usr/share/doc/korvessa-client-services/LICENSE'
dpkg-deb -x "$service_deb" "$scratch/root"
program=$scratch/root/usr/bin/korvessa-client-services
file "$program" | grep -q ', stripped' || { echo "packaged service is not stripped" >&2; exit 1; }
"$program" --help >"$scratch/help"
printf 'korvessa-client-services --launcher-pid <pid>\n' | cmp - "$scratch/help"

echo "-- $kit_deb"
test "$(dpkg-deb -f "$kit_deb" Package)" = korvessa-launcher-kit-dev
test "$(dpkg-deb -f "$kit_deb" Section)" = libdevel
dpkg-deb -c "$kit_deb" | awk '{print $6}' >"$scratch/kit.list"
holds "$scratch/kit.list" './usr/include/korvessa/launcher_kit/sidecar.h' \
  './usr/include/korvessa/launcher_kit/result.h' \
  './usr/lib/libkorvessa_launcher_kit\.a' \
  './usr/lib/cmake/KorvessaLauncherKit/KorvessaLauncherKitConfig\.cmake' \
  './usr/lib/cmake/KorvessaLauncherKit/KorvessaLauncherKitConfigVersion\.cmake' \
  './usr/lib/cmake/KorvessaLauncherKit/KorvessaLauncherKitTargets\.cmake' \
  './usr/share/doc/korvessa-launcher-kit-dev/LICENSE'
if grep -q 'bin/' "$scratch/kit.list"; then echo "kit package holds programs" >&2; exit 1; fi

echo "-- $tarball"
tar -tzf "$tarball" >"$scratch/tarball.list"
holds "$scratch/tarball.list" '[^/]+/bin/korvessa-client-services' \
  '[^/]+/include/korvessa/launcher_kit/sidecar\.h' '[^/]+/lib/libkorvessa_launcher_kit\.a' \
  '[^/]+/share/doc/korvessa-client-services/LICENSE'

echo "-- $zip"
unzip -Z1 "$zip" >"$scratch/zip.list"
holds "$scratch/zip.list" '[^/]+/bin/korvessa-client-services\.exe' \
  '[^/]+/bin/presence-check\.exe' '[^/]+/bin/demo-launcher\.exe' '[^/]+/bin/discord-standin\.exe' \
  '[^/]+/share/doc/korvessa-client-services/LICENSE'

echo "-- $npm_tarball"
version=$(project_version)
test "$npm_tarball" = "$out/korvessa-launcher-kit-$version.tgz" ||
  { echo "npm package is not of version $version" >&2; exit 1; }
check_node_kit_tarball "$npm_tarball" "$version"

echo "packages stage passed in $((SECONDS - started)) s"
