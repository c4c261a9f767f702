#!/usr/bin/env bash
# sbom.sh OUT_DIR: writes OUT_DIR/korvessa-client-services-VERSION.spdx.json, an SPDX 2.3 bill of
# materials for the packages in OUT_DIR (*.deb, *.tar.gz, *.zip, the npm kit's *.tgz, the
# .NET kit's *.nupkg, the Python kit's *.whl, the Rust kit's *.crate and the service under its
# Tauri sidecar names): for each package file its SHA-256 and what it contains, with licence and
# version:
#   every package   the project's own code (LICENSE)
#   .deb, .tar.gz   nlohmann/json, header-only and compiled in (the service and the kit use it)
#   Linux service   in the service's .deb, the .tar.gz, the .tgz, the .nupkg, the Linux wheel
#                   and the Linux Tauri sidecar: what -static links into it, glibc
#                   (LGPL-2.1-or-later) and libstdc++ and libgcc (GCC)
#   .zip            nlohmann/json, and what -static links into each .exe: libgcc and libstdc++
#                   (GCC), the mingw-w64 C runtime and winpthreads
#   .tgz            nlohmann/json and the .zip's runtime parts: it carries the Linux service
#                   and the service's .exe
#   .nupkg          the same as the .tgz: it carries the Linux service and the .exe
#   .whl            the Python kit's wheels: the Linux one what the .tar.gz holds, the Windows
#                   one what the .zip holds (each carries that package's service)
#   .crate          the project's code alone: sources without dependencies, no program
#   korvessa-client-services-x86_64-*   the .tar.gz's Linux service and the .zip's .exe
# A Linux service linked dynamically (a build without KCS_STATIC_SERVICE) loads those from the
# system instead: they are not shipped and not listed; the .deb entries name their Depends.
#
# Versions come from the build's inputs: the CMake project, the headers and the Debian packages
# that own the libraries the cross compiler links; licences from LICENSE and the Debian copyright
# files. The document is deterministic: its creation time is SOURCE_DATE_EPOCH (else the last
# commit's time) and its namespace is derived from the version and the package checksums.
set -euo pipefail
# shellcheck source=scripts/lib/host.sh
source "$(dirname "$0")/lib/host.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib/packages.sh"
source "$root/scripts/lib/version.sh"

[ $# -eq 1 ] || { echo "usage: sbom.sh OUT_DIR" >&2; exit 2; }
out=$1
[ -d "$out" ] || { echo "sbom.sh: no folder $out" >&2; exit 1; }
ensure_packages jq python3-debian unzip

fail() {
  echo "sbom.sh: $*" >&2
  exit 1
}

version=$(project_version) || exit 1

# --- What the build used ----------------------------------------------------------------------

# debian_version PKG: the installed version of a Debian package (empty when not installed).
debian_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }
# owner FILE: the Debian package that installed FILE (empty when none did).
owner() { dpkg-query -S "$(realpath -m "$1")" 2>/dev/null | head -n 1 | cut -d: -f1 || true; }
# build_compiler BUILD_FOLDER DEFAULT: the C++ compiler CMake chose for that build of the tree
# (DEFAULT when it has not been configured).
build_compiler() {
  local cxx
  cxx=$(sed -n -E 's/^set\(CMAKE_CXX_COMPILER "([^"]+)"\)/\1/p' \
    "$root/$1"/CMakeFiles/*/CMakeCXXCompiler.cmake 2>/dev/null | head -n 1)
  echo "${cxx:-$2}"
}
# library_package CXX LIBRARY: the Debian package that holds the LIBRARY (e.g. libc.a) that the
# compiler CXX links; fails when the compiler is missing or no package holds it.
library_package() {
  local package
  command -v "$1" >/dev/null || fail "no $1 to ask for $2"
  package=$(owner "$("$1" -print-file-name="$2")")
  [ -n "$package" ] || fail "cannot tell which Debian package holds $1's $2"
  echo "$package"
}
# upstream VERSION: a Debian version without epoch and revision.
upstream() { local v=${1#*:}; echo "${v%%-*}"; }

# Debian's machine-readable copyright files, read with python3-debian (scripts/lib/
# debian_copyright.py says what each answer holds).
copyright_tool() { /usr/bin/python3 "$root/scripts/lib/debian_copyright.py" "$@"; }
# copyright_field FILE PATTERN FIELD: the FIELD (Copyright or License) of the paragraph for the
# files PATTERN (as written, e.g. "*"); empty when FILE cannot be read.
copyright_field() { copyright_tool field "$@"; }
# licences_under FILE PREFIX...: the licence names of the paragraphs whose Files patterns begin
# with one of the PREFIXes ("*" for the catch-all), one per line.
licences_under() { copyright_tool licences "$@"; }
# licence_text FILE NAME: the text of the licence paragraph NAME.
licence_text() { copyright_tool text "$@"; }

# spdx_id NAME: the SPDX identifier for a licence name of Debian's copyright files; names SPDX
# does not know become LicenseRef-NAME, defined in the document with their text.
spdx_id() {
  case $1 in
    Expat | expat | MIT) echo MIT ;;
    ZPL-2.1) echo ZPL-2.1 ;;
    ISC) echo ISC ;;
    BSD-2-clause | BSD-2-clause-NetBSD) echo BSD-2-Clause ;;
    BSD-3-clause) echo BSD-3-Clause ;;
    GPL-2+) echo GPL-2.0-or-later ;;
    GPL-3+) echo GPL-3.0-or-later ;;
    LGPL-2+) echo LGPL-2.0-or-later ;;
    LGPL-2.1+) echo LGPL-2.1-or-later ;;
    *) echo "LicenseRef-$(printf '%s' "$1" | tr -c 'A-Za-z0-9.-' '-')" ;;
  esac
}

# The project's own code: MIT by its LICENSE file.
own_licence=NOASSERTION
head -n 1 "$root/LICENSE" | grep -qx 'MIT License' && own_licence=MIT
own_copyright=$(grep -m 1 '^Copyright' "$root/LICENSE" || echo NOASSERTION)

# nlohmann/json: the version macros of the headers the build included.
json_include=$(sed -n 's/^KCS_NLOHMANN_INCLUDE:PATH=//p' "$root/build/CMakeCache.txt" 2>/dev/null |
  head -n 1)
json_include=${json_include:-/usr/include}
json_version=$(grep -rhE '#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) ' \
  "$json_include/nlohmann" 2>/dev/null | awk '{v[$2] = $3} END {
    if (v["NLOHMANN_JSON_VERSION_MAJOR"] != "")
      print v["NLOHMANN_JSON_VERSION_MAJOR"] "." v["NLOHMANN_JSON_VERSION_MINOR"] "." v["NLOHMANN_JSON_VERSION_PATCH"] }')
json_package=$(owner "$json_include/nlohmann/json.hpp")
json_package=${json_package:-nlohmann-json3-dev}
[ -n "$json_version" ] || json_version=$(upstream "$(debian_version "$json_package")")
json_copyright_file=/usr/share/doc/$json_package/copyright

# gcc_runtime_licence PKG: GCC's runtime libraries are GPL with the GCC Runtime Library
# Exception, as the copyright file of the Debian package PKG says (else NOASSERTION).
gcc_runtime_licence() {
  local file=/usr/share/doc/$1/copyright
  if grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$file" 2>/dev/null && grep -q 'Version 3.1' "$file"; then
    echo "GPL-3.0-or-later WITH GCC-exception-3.1"
  else
    echo NOASSERTION
  fi
}

# The Windows runtime that -static links in: the libraries the cross compiler uses, and the
# Debian packages they came from.
zips=("$out"/*.zip "$out"/*.nupkg)
windows=
if [ -e "${zips[0]}" ] || [ -e "${zips[1]}" ]; then
  windows=1
  cxx=$(build_compiler build-windows x86_64-w64-mingw32-g++-posix)
  gcc_package=$(library_package "$cxx" libstdc++.a)
  crt_package=$(library_package "$cxx" libmingwex.a)
  pthread_package=$(library_package "$cxx" libwinpthread.a)
  gcc_version=$(debian_version "$gcc_package")
  crt_version=$(debian_version "$crt_package")
  pthread_version=$(debian_version "$pthread_package")
  gcc_licence=$(gcc_runtime_licence "$gcc_package")
  # The mingw-w64 parts list their licences per source folder.
  mingw_copyright_file=/usr/share/doc/mingw-w64-common/copyright
  [ -r "$mingw_copyright_file" ] || mingw_copyright_file=/usr/share/doc/$crt_package/copyright
  [ -r "$mingw_copyright_file" ] || fail "no copyright file of the mingw-w64 runtime"
fi

# The Linux service's static runtime (KCS_STATIC_SERVICE in the "default" build): the C library
# and GCC's runtime libraries that the compiler links, and the Debian packages they came from.
linux_parts=()
if grep -qx 'KCS_STATIC_SERVICE:BOOL=ON' "$root/build/CMakeCache.txt" 2>/dev/null; then
  linux_cxx=$(build_compiler build c++)
  libc_package=$(library_package "$linux_cxx" libc.a)
  libstdcxx_package=$(library_package "$linux_cxx" libstdc++.a)
  libgcc_package=$(library_package "$linux_cxx" libgcc_eh.a)
  libc_version=$(debian_version "$libc_package")
  libstdcxx_version=$(debian_version "$libstdcxx_package")
  libgcc_version=$(debian_version "$libgcc_package")
  libc_source=$(dpkg-query -W -f='${source:Package} ${source:Version}' "$libc_package")
  # glibc's copyright file is not machine-readable: most of the library is LGPL 2.1 or later,
  # as its first section says; the permissive terms of other parts follow it.
  libc_copyright_file=/usr/share/doc/$libc_package/copyright
  libc_licence=NOASSERTION
  if grep -q 'GNU Lesser General Public' "$libc_copyright_file" 2>/dev/null &&
    grep -q 'version 2.1 of the License, or (at your option) any later version' \
      "$libc_copyright_file"; then
    libc_licence=LGPL-2.1-or-later
  fi
  libc_copyright=$(grep -m 1 -o 'Copyright (C) [0-9-]* Free Software Foundation, Inc\.' \
    "$libc_copyright_file" 2>/dev/null || echo NOASSERTION)
  linux_parts=(SPDXRef-glibc SPDXRef-linux-gcc-runtime)
fi

# --- The document -----------------------------------------------------------------------------

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
: >"$scratch/packages.jsonl"
: >"$scratch/relationships.jsonl"
: >"$scratch/licences.jsonl"

# component ID NAME VERSION DECLARED COPYRIGHT COMMENT: one part, listed once if a package holds it.
declare -A licence_of
component() {
  licence_of[$1]=$4
  jq -n -c --arg id "$1" --arg name "$2" --arg version "$3" --arg licence "$4" \
    --arg copyright "$5" --arg comment "$6" '{
      SPDXID: $id, name: $name, versionInfo: $version, downloadLocation: "NOASSERTION",
      filesAnalyzed: false, licenseConcluded: $licence, licenseDeclared: $licence,
      copyrightText: $copyright, comment: $comment}' >>"$scratch/packages.jsonl"
}
# licence_expression FILE PREFIX...: the AND of the licences under PREFIX in a copyright file;
# licences SPDX does not know are defined once with their text.
licence_expression() {
  local file=$1 name id expression=
  shift
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    id=$(spdx_id "$name")
    if [[ $id == LicenseRef-* ]] && ! grep -q "\"$id\"" "$scratch/licences.jsonl"; then
      local text
      text=$(licence_text "$file" "$name")
      [ -n "$text" ] || text="Licence \"$name\" of $file"
      jq -n -c --arg id "$id" --arg name "$name" --arg text "$text" --arg file "$file" \
        '{licenseId: $id, name: $name, extractedText: $text,
          comment: ("As named in " + $file)}' >>"$scratch/licences.jsonl"
    fi
    case " $expression " in *" $id "*) ;; *) expression+="${expression:+ AND }$id" ;; esac
  done < <(licences_under "$file" "$@")
  echo "${expression:-NOASSERTION}"
}

component SPDXRef-korvessa-client-services-code korvessa-client-services "$version" \
  "$own_licence" "$own_copyright" "The project's own code."
component SPDXRef-nlohmann-json nlohmann-json "$json_version" \
  "$(spdx_id "$(copyright_field "$json_copyright_file" "*" License)")" \
  "$(copyright_field "$json_copyright_file" "*" Copyright)" \
  "Header-only JSON library, compiled into the programs and the launcher kit (from $json_package)."
if [ ${#linux_parts[@]} -gt 0 ]; then
  component SPDXRef-glibc "GNU C Library (glibc)" "$(upstream "$libc_version")" "$libc_licence" \
    "$libc_copyright" \
    "Linked statically into the Linux service; Debian package $libc_package $libc_version (source package $libc_source). Parts are under the permissive terms of its copyright file, shipped beside the service as share/doc/korvessa-client-services/glibc-copyright with the LGPL-2.1 and a NOTICE. LGPL section 6: the complete source of the service (this project at the release commit, which rebuilds it byte for byte and relinks it with a modified glibc) and the source package $libc_source are offered where the release is published (docs/building.md)."
  component SPDXRef-linux-gcc-runtime "GCC runtime for Linux (libgcc, libstdc++)" \
    "$(upstream "$libstdcxx_version")" "$(gcc_runtime_licence "$libstdcxx_package")" NOASSERTION \
    "Linked statically into the Linux service, as the GCC Runtime Library Exception permits; Debian packages $libstdcxx_package $libstdcxx_version and $libgcc_package $libgcc_version."
fi
if [ -n "$windows" ]; then
  component SPDXRef-gcc-runtime "GCC runtime (libgcc, libstdc++)" "$(upstream "$gcc_version")" \
    "$gcc_licence" NOASSERTION \
    "Linked statically into each .exe; Debian package $gcc_package $gcc_version."
  component SPDXRef-mingw-w64-crt "mingw-w64 C runtime" "$(upstream "$crt_version")" \
    "$(licence_expression "$mingw_copyright_file" '*' mingw-w64-crt/)" \
    "$(copyright_field "$mingw_copyright_file" "*" Copyright)" \
    "Start-up code and C library support linked statically into each .exe; Debian package $crt_package $crt_version. The licences are those of all its source files; an executable holds a part of them."
  component SPDXRef-winpthreads "mingw-w64 winpthreads" "$(upstream "$pthread_version")" \
    "$(licence_expression "$mingw_copyright_file" mingw-w64-libraries/winpthreads/)" \
    "$(copyright_field "$mingw_copyright_file" "mingw-w64-libraries/winpthreads/*" Copyright)" \
    "POSIX threads for std::thread, linked statically into each .exe; Debian package $pthread_package $pthread_version."
fi

contains() {  # contains PACKAGE_ID COMPONENT_ID...
  local from=$1 to
  shift
  for to in "$@"; do
    jq -n -c --arg a "$from" --arg b "$to" \
      '{spdxElementId: $a, relationshipType: "CONTAINS", relatedSpdxElement: $b}' \
      >>"$scratch/relationships.jsonl"
  done
}

# What a package's comment says of its Linux service's run-time needs.
if [ ${#linux_parts[@]} -gt 0 ]; then
  linux_runtime="the Linux service is linked statically and needs no shared library"
else
  linux_runtime="the Linux service needs the system's C and C++ runtime libraries, not shipped"
fi
found=0
checksums=
while IFS= read -r path; do
  file=$(basename -- "$path")
  id="SPDXRef-Package-$(printf '%s' "$file" | tr -c 'A-Za-z0-9.-' '-')"
  sum=$(sha256sum -- "$path" | cut -d' ' -f1)
  checksums+="$sum  $file"$'\n'
  file_version=$version comment='' parts=(SPDXRef-korvessa-client-services-code)
  case $file in
    *.deb)
      file_version=$(dpkg-deb -f "$path" Version)
      depends=$(dpkg-deb -f "$path" Depends)
      [ -z "$depends" ] || comment="Needs at run time, not shipped: $depends"
      parts+=(SPDXRef-nlohmann-json)
      # grep reads the whole listing (with -q it would stop early and break dpkg-deb's pipe).
      if dpkg-deb -c "$path" | grep ' \./usr/bin/korvessa-client-services$' >/dev/null; then
        parts+=("${linux_parts[@]}")
      fi ;;
    *.tar.gz | *-manylinux*.whl | korvessa-client-services-x86_64-unknown-linux-gnu)
      parts+=(SPDXRef-nlohmann-json "${linux_parts[@]}")
      comment="${linux_runtime^}." ;;
    *.zip | *-win_amd64.whl | korvessa-client-services-x86_64-pc-windows-msvc.exe)
      parts+=(SPDXRef-nlohmann-json SPDXRef-gcc-runtime SPDXRef-mingw-w64-crt SPDXRef-winpthreads) ;;
    *.crate) comment="The Rust launcher kit's sources, without dependencies; it carries no program." ;;
    *.nupkg) parts+=(SPDXRef-nlohmann-json SPDXRef-gcc-runtime SPDXRef-mingw-w64-crt
      SPDXRef-winpthreads "${linux_parts[@]}")
      file_version=$(unzip -p "$path" '*.nuspec' 2>/dev/null | sed -n 's:.*<version>\(.*\)</version>.*:\1:p')
      file_version=${file_version:-$version}
      comment="Carries the Linux service and the Windows .exe; the netstandard2.0 build needs System.Text.Json and Microsoft.Bcl.AsyncInterfaces from NuGet, not shipped." ;;
    *.tgz) file_version=$(tar -xOzf "$path" package/package.json 2>/dev/null |
      jq -r '.version // empty' 2>/dev/null || true)
      file_version=${file_version:-$version}
      parts+=(SPDXRef-nlohmann-json SPDXRef-gcc-runtime SPDXRef-mingw-w64-crt
        SPDXRef-winpthreads "${linux_parts[@]}")
      comment="Carries the service for linux-x64 ($linux_runtime) and win32-x64." ;;
  esac
  # The package as a whole: every licence of what it holds (each part's is an AND of terms).
  concluded=$(for part in "${parts[@]}"; do echo "${licence_of[$part]}"; done |
    sed 's/ AND /\n/g' | awk '!seen[$0]++' | paste -sd '\n' | sed ':a;N;$!ba;s/\n/ AND /g')
  [[ $concluded == *NOASSERTION* ]] && concluded=NOASSERTION
  jq -n -c --arg id "$id" --arg name "$file" --arg version "$file_version" --arg sum "$sum" \
    --arg concluded "$concluded" --arg licence "$own_licence" --arg copyright "$own_copyright" --arg comment "$comment" '{
      SPDXID: $id, name: $name, versionInfo: $version, packageFileName: $name,
      downloadLocation: "NOASSERTION", filesAnalyzed: false,
      checksums: [{algorithm: "SHA256", checksumValue: $sum}],
      licenseConcluded: $concluded, licenseDeclared: $licence, copyrightText: $copyright,
      primaryPackagePurpose: "INSTALL"} + (if $comment == "" then {} else {comment: $comment} end)' \
    >>"$scratch/packages.jsonl"
  jq -n -c --arg b "$id" \
    '{spdxElementId: "SPDXRef-DOCUMENT", relationshipType: "DESCRIBES", relatedSpdxElement: $b}' \
    >>"$scratch/relationships.jsonl"
  contains "$id" "${parts[@]}"
  found=$((found + 1))
done < <(find "$out" -maxdepth 1 -type f \
  \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' -o -name '*.tgz' -o -name '*.nupkg' \
  -o -name '*.whl' -o -name '*.crate' -o -name 'korvessa-client-services-x86_64-*' \) | sort)
[ "$found" -gt 0 ] || fail "no packages in $out"

epoch=$(source_date_epoch)
[[ $epoch =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $epoch"
created=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
digest=$(printf '%s' "$checksums" | sha256sum | cut -c1-32)
name=korvessa-client-services-$version
document=$out/$name.spdx.json

jq -n --arg name "$name" --arg created "$created" \
  --arg namespace "https://korvessa.invalid/spdx/$name-$digest" \
  --slurpfile packages "$scratch/packages.jsonl" \
  --slurpfile relationships "$scratch/relationships.jsonl" \
  --slurpfile licences "$scratch/licences.jsonl" '{
    spdxVersion: "SPDX-2.3", dataLicense: "CC0-1.0", SPDXID: "SPDXRef-DOCUMENT", name: $name,
    documentNamespace: $namespace,
    creationInfo: {created: $created, creators: ["Tool: korvessa-client-services-sbom.sh"]},
    packages: [$packages[] | select(.packageFileName or (.SPDXID as $id
      | any($relationships[]; .relatedSpdxElement == $id)))],
    relationships: $relationships}
    + (if ($licences | length) > 0 then {hasExtractedLicensingInfos: $licences} else {} end)' \
  >"$scratch/document.json"
mv -f "$scratch/document.json" "$document"
chmod 644 "$document"
echo "$document"
