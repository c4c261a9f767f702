# shellcheck shell=bash
# The NuGet package of the launcher kit (kits/dotnet): finding the .NET SDK, packing, checking the
# .nupkg. Sourced by the scripts in scripts/, after scripts/lib/packages.sh.

# find_dotnet: puts the .NET SDK's dotnet on PATH (from PATH, or its usual folders, which a bare
# PATH as under env -i lacks) and exports DOTNET_ROOT; status 1 when there is none.
find_dotnet() {
  local dir
  if ! command -v dotnet >/dev/null 2>&1; then
    for dir in /usr/share/dotnet /usr/lib/dotnet "${HOME:-/nonexistent}/.dotnet"; do
      if [ -x "$dir/dotnet" ]; then
        PATH=$dir:$PATH
        break
      fi
    done
  fi
  command -v dotnet >/dev/null 2>&1 || return 1
  DOTNET_ROOT=${DOTNET_ROOT:-$(dirname "$(readlink -f "$(command -v dotnet)")")}
  export PATH DOTNET_ROOT
  # An SDK must be there, not only a runtime.
  dotnet --list-sdks 2>/dev/null | grep -q .
}

# dotnet_settings PACKAGES_DIR: dotnet runs quietly, sends nothing home, leaves no build server
# running, and keeps the NuGet packages it restores in PACKAGES_DIR, whoever calls.
dotnet_settings() {
  export NUGET_PACKAGES=$1
  export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
  export DOTNET_CLI_WORKLOAD_UPDATE_NOTIFY_DISABLE=1 DOTNET_GENERATE_ASPNET_CERTIFICATE=false
  export DOTNET_CLI_USE_MSBUILD_SERVER=0 MSBUILDDISABLENODEREUSE=1 DOTNET_CLI_UI_LANGUAGE=en
  # MSBuild reads it as a property: the compiler runs in the build, not as a server left behind.
  export UseSharedCompilation=false
}

# pack_dotnet_kit WORK LINUX_SERVICE WINDOWS_EXE: packs Korvessa.LauncherKit from a clean copy of
# kits/dotnet (no bin/, no obj/) in WORK/source, carrying the two services, into
# WORK/Korvessa.LauncherKit.VERSION.nupkg, with the Linux service's notices from the installed
# tree that LINUX_SERVICE is the bin/ program of. The version is the project's (CMakeLists.txt).
pack_dotnet_kit() {
  local work=$1 linux=$2 windows=$3 notices
  linux=$(realpath -- "$linux")
  windows=$(realpath -- "$windows")
  notices=${linux%/bin/korvessa-client-services}/share/doc/korvessa-client-services
  [ -f "$notices/NOTICE" ] || notices=
  rm -rf "$work/source"
  mkdir -p "$work/source/kits/dotnet"
  cp CMakeLists.txt "$work/source/"
  cp kits/cases.json "$work/source/kits/"
  tar -C kits/dotnet --exclude=bin --exclude=obj -cf - . | tar -C "$work/source/kits/dotnet" -xf -
  dotnet pack "$work/source/kits/dotnet/src/Korvessa.LauncherKit" -c Release -p:RestoreLockedMode=true \
    -nodeReuse:false -v quiet -p:ContinuousIntegrationBuild=true \
    -p:KcsLinuxService="$linux" -p:KcsWindowsService="$windows" -p:KcsLinuxServiceNotices="$notices" \
    -o "$work" >/dev/null
  normalise_nupkg "$work"/Korvessa.LauncherKit.*.nupkg
}

# normalise_nupkg NUPKG: the .nupkg rewritten with every entry dated SOURCE_DATE_EPOCH (else the
# last commit's time) and made by Unix modes 0644, the Linux service 0755, in NuGet's order, so
# that one commit packs the same bytes anywhere, any time: the SDK's pack dates each entry at
# the time of packing. (needs scripts/lib/version.sh)
normalise_nupkg() {
  local nupkg epoch unpacked
  nupkg=$(realpath -- "$1")
  epoch=$(source_date_epoch)
  unpacked=$(mktemp -d)
  unzip -q "$nupkg" -d "$unpacked"
  chmod -R u=rwX,go=rX "$unpacked"
  chmod 755 "$unpacked/runtimes/linux-x64/native/korvessa-client-services"
  find "$unpacked" -exec env TZ=UTC touch -h -d "@$epoch" {} +
  unzip -Z1 "$nupkg" >"$unpacked.list"
  rm -f "$nupkg"
  (cd "$unpacked" && TZ=UTC zip -X -D -9 -q -nw -@ "$nupkg" <"$unpacked.list")
  rm -rf "$unpacked" "$unpacked.list"
}

# check_dotnet_kit_package NUPKG: the package holds the two builds with their documentation,
# the two services with the Linux one's notices, the build targets, the README and NuGet's own
# files, and nothing else; its nuspec names no repository (an empty <repository> says nothing).
check_dotnet_kit_package() {
  local nupkg=$1 entry listing
  local allowed='^(\[Content_Types\]\.xml|_rels/\.rels|Korvessa\.LauncherKit\.nuspec|README\.md|package/services/metadata/core-properties/[0-9A-Za-z]+\.psmdcp|lib/(netstandard2\.0|net8\.0)/Korvessa\.LauncherKit\.(dll|xml)|build/Korvessa\.LauncherKit\.targets|buildTransitive/Korvessa\.LauncherKit\.targets|runtimes/linux-x64/native/korvessa-client-services|runtimes/win-x64/native/korvessa-client-services\.exe|licenses/linux-x64/(NOTICE|LGPL-2\.1|glibc-copyright))$'
  listing=$(unzip -Z1 "$nupkg")
  while read -r entry; do
    [[ $entry =~ $allowed ]] || { echo "NuGet package holds $entry" >&2; return 1; }
  done <<<"$listing"
  for entry in README.md lib/netstandard2.0/Korvessa.LauncherKit.dll lib/netstandard2.0/Korvessa.LauncherKit.xml \
    lib/net8.0/Korvessa.LauncherKit.dll lib/net8.0/Korvessa.LauncherKit.xml build/Korvessa.LauncherKit.targets \
    buildTransitive/Korvessa.LauncherKit.targets runtimes/linux-x64/native/korvessa-client-services \
    runtimes/win-x64/native/korvessa-client-services.exe licenses/linux-x64/NOTICE \
    licenses/linux-x64/LGPL-2.1 licenses/linux-x64/glibc-copyright; do
    grep -qx "$entry" <<<"$listing" || { echo "NuGet package lacks $entry" >&2; return 1; }
  done
  if unzip -p "$nupkg" Korvessa.LauncherKit.nuspec | grep -q '<repository'; then
    echo "the NuGet package's nuspec has a <repository>" >&2
    return 1
  fi
}

# package_dotnet_kit OUT_DIR LINUX_SERVICE WINDOWS_EXE: the .nupkg carrying these two services,
# into OUT_DIR, its restores kept in build-dotnet-kit/nuget-packages. Without a .NET SDK it says
# so and makes none, or fails under CI=true.
package_dotnet_kit() {
  local out=$1 linux=$2 windows=$3 work
  if ! find_dotnet; then
    if [ "${CI:-}" = true ]; then
      echo "no .NET SDK (dotnet) found, and CI=true: the NuGet package cannot be made" >&2
      return 1
    fi
    echo "no .NET SDK (dotnet): the NuGet package is not made" >&2
    return 0
  fi
  dotnet_settings "$PWD/build-dotnet-kit/nuget-packages"
  work=$(mktemp -d)
  pack_dotnet_kit "$work" "$linux" "$windows" || { rm -rf "$work"; return 1; }
  mv "$work"/Korvessa.LauncherKit.*.nupkg "$out/"
  rm -rf "$work"
}

# readme_nuget_config README FEED ROOT: the nuget.config that the kit's README (under ROOT) tells
# a user to write, its example folder replaced by FEED, so that the stage installs the package
# the way the README says.
readme_nuget_config() {
  local readme=$1 feed=$2 root=$3 fence='```'
  sed -n "/^## Install/,/^## /{/^${fence}xml\$/,/^${fence}\$/p}" "$root/$readme" | sed '1d;$d' |
    sed "s|/path/to/build-packages|$feed|"
}
