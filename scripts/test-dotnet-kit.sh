#!/usr/bin/env bash
# .NET launcher kit stage: packs Korvessa.LauncherKit (kits/dotnet) from a clean copy, carrying
# the Linux service and the cross-built Windows one, checks what the .nupkg holds, runs the kit's
# xunit tests against the built service once for each build of the kit (netstandard2.0, net8.0).
# Then, as a user would, with an empty NuGet cache: a new console app under /tmp gets the package
# through the README's install lines (a nuget.config adding the package's folder beside the
# default feed, `dotnet add package`), with examples/dotnet-launcher's program; it is built with
# warnings as errors and run without naming the service's path, published single-file for
# linux-x64 (the service beside it, out of the bundle) and run, and published for win-x64 (the
# Windows service beside it). The example is also built for .NET Framework 4.7.2, with the
# Windows service beside it. Without a .NET SDK the stage is skipped with one line, or fails
# under CI=true.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/dotnet_kit.sh

if ! find_dotnet; then
  if [ "${CI:-}" = true ]; then
    echo "no .NET SDK (dotnet) found, and CI=true: kits/dotnet/README.md says how to get one" >&2
    exit 1
  fi
  echo "dotnet launcher kit stage skipped: no .NET SDK (dotnet); kits/dotnet/README.md says how to get one"
  exit 0
fi
ensure_packages cmake make g++ nlohmann-json3-dev g++-mingw-w64-x86-64-posix zip unzip
started=$SECONDS
root=$PWD
work=$root/build-dotnet-kit
fresh_folder "$work" nuget-packages
dotnet_settings "$work/nuget-packages"
# The kit keeps its version while its code changes: NuGet must unpack this run's package afresh.
rm -rf "$NUGET_PACKAGES/korvessa.launcherkit"
mkdir -p "$work/tmp"
export TMPDIR=$work/tmp
app=$(mktemp -d /tmp/kcs-dotnet-app.XXXXXX)
framework=$(mktemp -d /tmp/kcs-dotnet-launcher-net472.XXXXXX)
trap 'rm -rf "$app" "$framework"' EXIT
version=$(project_version)
echo "-- dotnet $(dotnet --version)"

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target korvessa-client-services >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target korvessa-client-services >/dev/null

echo "-- dotnet pack"
# The services as the packages ship them: stripped.
cmake --install build --prefix "$work/linux" --component service --strip >/dev/null
cmake --install build-windows --prefix "$work/windows" --component service --strip >/dev/null
pack_dotnet_kit "$work" "$work/linux/bin/korvessa-client-services" \
  "$work/windows/bin/korvessa-client-services.exe"
nupkg=$work/Korvessa.LauncherKit.$version.nupkg
check_dotnet_kit_package "$nupkg"
echo "$(basename "$nupkg"): $(stat -c %s "$nupkg") bytes"

# A private runtime directory: the registered presence must not reach a real Discord.
mkdir -p "$work/runtime" "$work/client"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime

for target in netstandard2.0 net8.0; do
  echo "-- tests against the $target build"
  KCS_SERVICE=$root/build/korvessa-client-services dotnet test \
    "$work/source/kits/dotnet/test/Korvessa.LauncherKit.Tests" -c Release -p:RestoreLockedMode=true \
    -nodeReuse:false -v quiet -p:KitTarget="$target" >"$work/tests-$target.log" 2>&1 ||
    { cat "$work/tests-$target.log"; exit 1; }
  grep -E '^(Passed|Failed)!' "$work/tests-$target.log"
done

echo "-- a new console app, the package installed as the README says, an empty NuGet cache"
mkdir -p "$work/feed"
cp "$nupkg" "$work/feed/"
# logged COMMAND...: runs it with its output in app.log, which is shown when it fails.
logged() { "$@" >>"$work/app.log" 2>&1 || { cat "$work/app.log"; return 1; }; }
(
  export NUGET_PACKAGES=$app/nuget-packages
  : >"$work/app.log"
  logged dotnet new console -o "$app/launcher"
  cd "$app/launcher"
  readme_nuget_config kits/dotnet/README.md "$work/feed" "$root" >nuget.config
  logged dotnet add package Korvessa.LauncherKit
  cp "$root/examples/dotnet-launcher/Program.cs" .
  # Whatever unpacking did to the service's run bit, the build makes the copy in the output runnable.
  chmod a-x "$NUGET_PACKAGES/korvessa.launcherkit/$version/runtimes/linux-x64/native/korvessa-client-services"
  logged dotnet build -c Release --no-restore -nodeReuse:false -warnaserror -o out
  [ -x out/korvessa-client-services ] ||
    { echo "the package did not put a runnable service beside the app" >&2; exit 1; }
  (cd "$work/client" && "$app/launcher/out/launcher" "$work/client")

  # Single-file, extracting all its content elsewhere: the service stays beside the executable.
  logged dotnet publish -c Release -r linux-x64 --self-contained false -nodeReuse:false \
    -p:PublishSingleFile=true -p:IncludeNativeLibrariesForSelfExtract=true \
    -p:IncludeAllContentForSelfExtract=true -o single
  files=$(find single -type f ! -name '*.pdb' -printf '%f\n' | sort | paste -sd' ')
  [ "$files" = "korvessa-client-services launcher" ] ||
    { echo "the single-file publish holds $files" >&2; exit 1; }
  (cd "$work/client" && DOTNET_BUNDLE_EXTRACT_BASE_DIR=$app/extract "$app/launcher/single/launcher" \
    "$work/client" >"$work/single-file.log") || { cat "$work/single-file.log"; exit 1; }
  echo "published single-file for linux-x64, the service beside it; its session: $(tail -n 1 "$work/single-file.log")"

  # Published for Windows, the app gets the Windows service beside it.
  logged dotnet publish -c Release -r win-x64 --self-contained false -nodeReuse:false -p:UseAppHost=false \
    -o win-x64
  [ -f win-x64/korvessa-client-services.exe ] ||
    { echo "publishing for win-x64 did not put the Windows service beside the app" >&2; exit 1; }
  echo "published for win-x64 with korvessa-client-services.exe beside the app"
)

# Built for .NET Framework 4.7.2 (not run: no .NET Framework here), against the netstandard2.0
# build, the app gets the Windows service beside it. The kit comes from the folder; its
# dependencies and the reference assemblies from the default feed.
cp -r examples/dotnet-launcher/. "$framework/"
readme_nuget_config kits/dotnet/README.md "$work/feed" "$root" >"$framework/nuget.config"
# Restore on its own: dotnet build's implicit restore does not take TargetFramework.
{
  dotnet restore "$framework" -nodeReuse:false -v quiet -p:TargetFramework=net472 \
    -p:KcsKitVersion="$version" >"$work/example-net472.log" 2>&1 &&
    dotnet build "$framework" -c Release --no-restore -nodeReuse:false -v quiet -warnaserror \
      -p:TargetFramework=net472 -p:KcsKitVersion="$version" -o "$framework/out" \
      >>"$work/example-net472.log" 2>&1
} || { cat "$work/example-net472.log"; exit 1; }
for file in dotnet-launcher.exe Korvessa.LauncherKit.dll korvessa-client-services.exe; do
  [ -f "$framework/out/$file" ] || { echo "the .NET Framework build lacks $file" >&2; exit 1; }
done
echo "built for .NET Framework 4.7.2 with korvessa-client-services.exe beside the app"

echo "dotnet launcher kit stage passed in $((SECONDS - started)) s"
