#!/usr/bin/env bash
# Packages stage: makes every package with scripts/package.sh and checks what each holds. The
# Debian service package is unpacked into a scratch root and its program run with --help. Every
# Linux service a package carries must run on every x86-64 Linux: it is checked with readelf and
# run in a Debian 11 root (scripts/lib/portable_service.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/node_kit.sh
source scripts/lib/dotnet_kit.sh
source scripts/lib/portable_service.sh
source scripts/lib/python_kit.sh
source scripts/lib/rust_kit.sh

ensure_packages dpkg-dev file unzip icoutils binutils
ensure_node
started=$SECONDS
bash scripts/package.sh >/dev/null
out=build-packages

one() {  # one PATTERN: the single package matching PATTERN
  # PATTERN is a glob on purpose: it is expanded here, and must match one file.
  # shellcheck disable=SC2206
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
# The service is linked statically: it needs no shared library, so no package either.
[ -z "$(dpkg-deb -f "$service_deb" Depends)" ] ||
  { echo "service package depends on $(dpkg-deb -f "$service_deb" Depends)" >&2; exit 1; }
dpkg-deb -c "$service_deb" | awk '{print $6}' >"$scratch/service.list"
holds "$scratch/service.list" './usr/bin/korvessa-client-services' \
  './usr/share/doc/korvessa-client-services/'{LICENSE,NOTICE,LGPL-2.1,glibc-copyright}
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
  '[^/]+/share/doc/korvessa-client-services/'{LICENSE,NOTICE,LGPL-2.1,glibc-copyright}

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

# The NuGet package, where a .NET SDK made one: what it holds, its version, and the carried
# services are the stripped ones of the .tar.gz and the .zip.
if find_dotnet; then
  nupkg=$(one 'Korvessa.LauncherKit.*.nupkg')
  echo "-- $nupkg"
  test "$nupkg" = "$out/Korvessa.LauncherKit.$version.nupkg" ||
    { echo "NuGet package is not of version $version" >&2; exit 1; }
  check_dotnet_kit_package "$nupkg"
  unzip -q "$nupkg" -d "$scratch/nupkg"
  grep -qF "<version>$version</version>" "$scratch/nupkg/Korvessa.LauncherKit.nuspec" ||
    { echo "NuGet package's nuspec is not version $version" >&2; exit 1; }
  tar -xzOf "$tarball" --wildcards '*/bin/korvessa-client-services' |
    cmp - "$scratch/nupkg/runtimes/linux-x64/native/korvessa-client-services"
  unzip -p "$zip" '*/bin/korvessa-client-services.exe' |
    cmp - "$scratch/nupkg/runtimes/win-x64/native/korvessa-client-services.exe"
fi

echo "-- the Rust crate and the Tauri sidecars"
check_rust_kit_packages "$out" "$version" "$tarball" "$zip"

# One version, the CMake project's, in every package's name and metadata and in each .exe.
echo "-- version $version everywhere"
test "$zip" = "$out/korvessa-client-services-$version-win64.zip"
for package in "$service_deb" "$kit_deb"; do
  test "$(dpkg-deb -f "$package" Version)" = "$version" ||
    { echo "$package: Version is not $version" >&2; exit 1; }
done
test "$tarball" = "$out/korvessa-client-services-$version-Linux.tar.gz"
dpkg-deb -x "$kit_deb" "$scratch/kit"
grep -qF "set(PACKAGE_VERSION \"$version\")" \
  "$scratch/kit/usr/lib/cmake/KorvessaLauncherKit/KorvessaLauncherKitConfigVersion.cmake" ||
  { echo "the kit's CMake package is not version $version" >&2; exit 1; }

# Each .exe in the .zip, read back with wrestool: its version resource (the UTF-16 strings, a
# key followed by its value) and its manifest.
unzip -q "$zip" -d "$scratch/zip"
copyright=$(grep -m1 '^Copyright ' LICENSE)
file_version=$version
while [ "$(tr -cd . <<<"$file_version" | wc -c)" -lt 3 ]; do file_version=$file_version.0; done
for program in korvessa-client-services presence-check demo-launcher discord-standin; do
  exe=$(echo "$scratch"/zip/*/bin/$program.exe)
  wrestool -x --raw -t 16 "$exe" | strings -e l -n 1 >"$scratch/strings"
  value() { awk -v key="$1" 'found { print; exit } $0 == key { found = 1 }' "$scratch/strings"; }
  for pair in "ProductVersion=$version" "FileVersion=$file_version" \
      "ProductName=korvessa-client-services" "OriginalFilename=$program.exe" \
      "LegalCopyright=$copyright"; do
    test "$(value "${pair%%=*}")" = "${pair#*=}" ||
      { echo "$program.exe: ${pair%%=*} is '$(value "${pair%%=*}")', not '${pair#*=}'" >&2; exit 1; }
  done
  for key in CompanyName FileDescription; do
    [ -n "$(value $key)" ] || { echo "$program.exe: no $key" >&2; exit 1; }
  done
  wrestool -x --raw -t 24 "$exe" >"$scratch/manifest"
  # asInvoker, and Windows 7, 8, 8.1 and 10/11 as supported systems.
  for text in 'level="asInvoker"' 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
      4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
      8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -qF "$text" "$scratch/manifest" || { echo "$program.exe: manifest lacks $text" >&2; exit 1; }
  done
done

# The Python kit's wheels carry them too.
echo "-- the Python kit's wheels"
tar -xzOf "$tarball" --wildcards '*/bin/korvessa-client-services' >"$scratch/linux-service"
check_python_kit_wheels "$out" "$version" "$scratch/linux-service" "$(echo "$scratch"/zip/*/bin/korvessa-client-services.exe)"

# The npm package carries the very service programs of the .tar.gz and the .zip.
mkdir -p "$scratch/npm"
tar -xzf "$npm_tarball" -C "$scratch/npm"
tar -xzOf "$tarball" --wildcards '*/bin/korvessa-client-services' |
  cmp - "$scratch/npm/package/service/linux-x64/korvessa-client-services" ||
  { echo "the npm package's Linux service is not the .tar.gz's" >&2; exit 1; }
cmp "$scratch"/zip/*/bin/korvessa-client-services.exe \
  "$scratch/npm/package/service/win32-x64/korvessa-client-services.exe" ||
  { echo "the npm package's .exe is not the .zip's" >&2; exit 1; }

# Every carried Linux service names no shared library beyond the C library's and needs no glibc
# symbol version above 2.17; then each runs in a Debian 11 root, where this machine can make one.
# A package that carries one more adds a line here.
echo "-- the carried Linux services"
PORTABLE_SCRATCH=$scratch
carried_linux_service "$tarball" '*/bin/korvessa-client-services'
carried_linux_service "$service_deb" './usr/bin/korvessa-client-services'
carried_linux_service "$npm_tarball" 'package/service/linux-x64/korvessa-client-services'
[ -z "${nupkg:-}" ] ||
  carried_linux_service "$nupkg" 'runtimes/linux-x64/native/korvessa-client-services'
carried_linux_service "$out/$(python_kit_wheel_name "$version" "$PYTHON_KIT_LINUX_TAG")" \
  'korvessa_launcher_kit/service/korvessa-client-services'
carried_linux_service "$out/korvessa-client-services-x86_64-unknown-linux-gnu"
older_started=$SECONDS
if reason=$(older_root); then
  for ((i = 0; i < ${#CARRIED_SERVICES[@]}; i += 2)); do
    run_in_older_root "${CARRIED_SERVICES[i + 1]}" "${CARRIED_SERVICES[i]}"
  done
  echo "$((${#CARRIED_SERVICES[@]} / 2)) services ran in the $OLDER_SUITE root" \
    "($OLDER_ROOT) in $((SECONDS - older_started)) s"
else
  echo "older-root check skipped: $reason"
fi

# Nothing shipped names the folder it was built in (debug information, __FILE__).
if grep -rlaF "$PWD" "$scratch/root" "$scratch/kit" "$scratch/zip" "$scratch/npm"; then
  echo "packaged files above hold the build path $PWD" >&2
  exit 1
fi
# SHA256SUMS names every other file, sorted, and each checksum holds.
diff <(find "$out" -mindepth 1 -maxdepth 1 ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort) \
  <(sed 's/^[0-9a-f]\{64\}  //' "$out/SHA256SUMS") >&2 ||
  { echo "SHA256SUMS does not list exactly the other files in $out" >&2; exit 1; }
(cd "$out" && sha256sum --quiet -c SHA256SUMS)

echo "packages stage passed in $((SECONDS - started)) s"
