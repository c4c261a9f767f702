#!/usr/bin/env bash
# Signing stage (after the packages stage, which leaves build-packages/ and build-windows/):
# makes a throwaway code-signing certificate, signs copies of the packed .exe files with
# scripts/sign-windows.sh and checks that the signed service still runs under Wine and that the
# signatures verify; that every failure leaves the files as they were; that the bill of materials
# is well-formed SPDX 2.3 naming every package with its checksum; and, when scripts/package.sh
# signs, that a signed package build packs the signed files and checksums them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh

ensure_packages osslsigncode openssl jq unzip wine64 util-linux
started=$SECONDS
root=$PWD
out=build-packages
version=$(project_version)

scratch=$(mktemp -d)
restore() {  # the unsigned packages go back where the signed package build put its own
  if [ -d "$scratch/unsigned-packages" ]; then
    rm -rf "${root:?}/$out"
    mv "$scratch/unsigned-packages" "$root/$out"
  fi
  rm -rf "$scratch"
}
trap restore EXIT

zips=("$out"/korvessa-client-services-*-win64.zip)
[ -f "${zips[0]}" ] || { echo "no Windows package in $out: run scripts/package.sh first" >&2; exit 1; }

echo "-- a throwaway certificate"
cert=$scratch/cert
mkdir "$cert"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway test signer" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
  -keyout "$cert/key.pem" -out "$cert/cert.pem" 2>/dev/null
printf 'throwaway %s\n' "$(openssl rand -hex 8)" >"$cert/password"
openssl pkcs12 -export -inkey "$cert/key.pem" -in "$cert/cert.pem" -out "$cert/signer.p12" \
  -passout "file:$cert/password"
# A certificate for web servers, not for code.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway web server" \
  -addext extendedKeyUsage=serverAuth -keyout "$cert/web-key.pem" -out "$cert/web.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$cert/web-key.pem" -in "$cert/web.pem" -out "$cert/web.p12" \
  -passout "file:$cert/password"
echo wrong >"$cert/wrong-password"

# verified FILE...: each file carries a signature by the throwaway certificate that verifies.
verified() {
  local exe
  for exe in "$@"; do
    osslsigncode verify -CAfile "$cert/cert.pem" -in "$exe" >"$scratch/verify.log" 2>&1 ||
      { cat "$scratch/verify.log" >&2; echo "$exe: signature does not verify" >&2; exit 1; }
    grep -q 'Subject: /CN=Throwaway test signer' "$scratch/verify.log" ||
      { echo "$exe: not signed by the throwaway certificate" >&2; exit 1; }
  done
}

echo "-- signing what the .zip ships"
unzip -q "${zips[0]}" -d "$scratch/unpacked"
mapfile -t shipped < <(find "$scratch/unpacked" -name '*.exe' | sort)
[ ${#shipped[@]} -ge 4 ] || { echo "expected the .exe files in ${zips[0]}" >&2; exit 1; }
for signing in first second; do
  mkdir "$scratch/$signing"
  cp "${shipped[@]}" "$scratch/$signing/"
  SOURCE_DATE_EPOCH=1700000000 bash scripts/sign-windows.sh --pkcs12 "$cert/signer.p12" \
    --password-file "$cert/password" "$scratch/$signing"/*.exe >/dev/null
done
verified "$scratch/first"/*.exe
# Without a time-stamp server the signature depends only on the file, the key and the time.
for exe in "$scratch/first"/*.exe; do
  cmp -s "$exe" "$scratch/second/${exe##*/}" || { echo "signing ${exe##*/} twice differs" >&2; exit 1; }
done
if osslsigncode verify -CAfile "$cert/cert.pem" -in "${shipped[0]}" >/dev/null 2>&1; then
  echo "an unsigned file verifies" >&2
  exit 1
fi

echo "-- the signed service under Wine"
service=korvessa-client-services.exe
help() {  # help EXE OUT: runs EXE --help under Wine; its status must be 0
  LC_ALL=C.UTF-8 WINEDEBUG=-all sh cmake/wine-run.sh "$root/build-windows/wineprefix" "$1" --help \
    >"$2" 2>/dev/null || { echo "$1 --help failed under Wine" >&2; exit 1; }
}
help "$(find "$scratch/unpacked" -name "$service")" "$scratch/help.unsigned"
help "$scratch/first/$service" "$scratch/help.signed"
[ -s "$scratch/help.unsigned" ] || { echo "no --help output under Wine" >&2; exit 1; }
cmp "$scratch/help.unsigned" "$scratch/help.signed"

echo "-- failures leave every file as it was"
targets=$scratch/targets
mkdir "$targets"
cp "${shipped[@]}" "$targets/"
programs=("$targets"/*.exe)
printf 'not a program\n' >"$targets/notes.exe"
printf 'MZ but no PE image\n' >"$targets/truncated.exe"
(cd "$targets" && sha256sum -- *) >"$scratch/before"
# case | status | --pkcs12 | --password-file | files after the shipped .exe files ("-": no files
# at all) | --timestamp. A file that cannot be signed comes last, after the others were signed
# into copies. Nothing listens on the discard port of the loopback.
while IFS='|' read -r name status pkcs12 password extra timestamp; do
  files=("${programs[@]}")
  [ -z "$extra" ] || files+=("$extra")
  [ "$extra" != - ] || files=()
  options=(--pkcs12 "$pkcs12" --password-file "$password")
  [ -z "$timestamp" ] || options+=(--timestamp "$timestamp")
  rc=0
  bash scripts/sign-windows.sh "${options[@]}" "${files[@]}" \
    >/dev/null 2>"$scratch/stderr" || rc=$?
  [ "$rc" -eq "$status" ] || { echo "$name: status $rc, not $status" >&2; exit 1; }
  [ "$(wc -l <"$scratch/stderr")" -eq 1 ] ||
    { cat "$scratch/stderr" >&2; echo "$name: not one line on stderr" >&2; exit 1; }
  (cd "$targets" && sha256sum -c --quiet "$scratch/before" &&
    [ "$(find . -mindepth 1 -maxdepth 1 | wc -l)" -eq $((${#programs[@]} + 2)) ]) ||
    { echo "$name: the files changed" >&2; exit 1; }
done <<EOF
missing certificate|1|$cert/none.p12|$cert/password|
missing password file|1|$cert/signer.p12|$cert/none|
wrong password|1|$cert/signer.p12|$cert/wrong-password|
certificate not for code|1|$cert/web.p12|$cert/password|
missing file|1|$cert/signer.p12|$cert/password|$targets/none.exe
file not a program|1|$cert/signer.p12|$cert/password|$targets/notes.exe
program that cannot be signed|1|$cert/signer.p12|$cert/password|$targets/truncated.exe
time-stamp server unreachable|1|$cert/signer.p12|$cert/password||http://127.0.0.1:9/
no files|2|$cert/signer.p12|$cert/password|-
EOF

echo "-- bill of materials"
# The generator run twice on a copy of the packages gives the same document; the document checked
# is the one beside the packages when the package build made one.
mkdir "$scratch/bom"
cp "$out"/*.deb "$out"/*.tar.gz "$out"/*.zip "$scratch/bom/"
cp "$out"/*.tgz "$scratch/bom/" 2>/dev/null || true
cp "$out"/*.whl "$scratch/bom/" 2>/dev/null || true
cp "$out"/*.crate "$out"/korvessa-client-services-x86_64-* "$scratch/bom/" 2>/dev/null || true
bash scripts/sbom.sh "$scratch/bom" >/dev/null
cp "$scratch/bom/korvessa-client-services-$version.spdx.json" "$scratch/bom.first"
bash scripts/sbom.sh "$scratch/bom" >/dev/null
cmp "$scratch/bom.first" "$scratch/bom/korvessa-client-services-$version.spdx.json" ||
  { echo "a second bill of materials differs" >&2; exit 1; }
bom_dir=$scratch/bom
boms=("$out"/*.spdx.json)
[ ! -f "${boms[0]}" ] || bom_dir=$out
bom=$bom_dir/korvessa-client-services-$version.spdx.json
[ -f "$bom" ] || { echo "no $bom" >&2; exit 1; }
# Checked here with jq alone, not with the generator's code: the fields SPDX 2.3 requires, ids
# that resolve, and every package of the folder described with the checksum sha256sum finds.
expected=$(cd "$bom_dir" && find . -maxdepth 1 -type f \
  \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' -o -name '*.tgz' -o -name '*.nupkg' \
  -o -name '*.whl' -o -name '*.crate' -o -name 'korvessa-client-services-x86_64-*' \) -printf '%f\n' |
  sort | xargs sha256sum | jq -R -s -c 'split("\n") | map(select(length > 0) | split("  ") |
  {(.[1]): .[0]}) | add')
jq -e --argjson expected "$expected" '
  def ids: [.packages[].SPDXID] + ["SPDXRef-DOCUMENT"];
  def described: [.relationships[] | select(.relationshipType == "DESCRIBES"
    and .spdxElementId == "SPDXRef-DOCUMENT") | .relatedSpdxElement];
  def refs: [.packages[] | .licenseConcluded, .licenseDeclared | scan("LicenseRef-[A-Za-z0-9.-]+")]
    | unique;
  . as $d
  | .spdxVersion == "SPDX-2.3" and .dataLicense == "CC0-1.0" and .SPDXID == "SPDXRef-DOCUMENT"
  and (.name | type == "string" and length > 0)
  and (.documentNamespace | test("^https?://[^#]+$"))
  and (.creationInfo.created | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"))
  and (.creationInfo.creators | length > 0
       and all(.[]; test("^(Tool|Organization|Person): .")))
  and (.packages | length > 0 and all(.[];
       (.SPDXID | test("^SPDXRef-[A-Za-z0-9.-]+$")) and (.name | length > 0)
       and (.downloadLocation | type == "string") and (.filesAnalyzed | type == "boolean")
       and (.licenseConcluded | length > 0) and (.licenseDeclared | length > 0)
       and (.copyrightText | length > 0)))
  and (ids | length == (unique | length))
  and all(.relationships[]; (.spdxElementId as $a | $d | ids | index([$a]))
       and (.relatedSpdxElement as $b | $d | ids | index([$b])))
  and ([.relationships[] | .relationshipType] | index(["CONTAINS"]) != null)
  and ([.packages[] | select(.SPDXID as $i | $d | described | index([$i]))
        | {(.packageFileName): (.checksums[] | select(.algorithm == "SHA256")
        | .checksumValue)}] | add == $expected)
  and all(described[]; . as $p | $d.relationships
       | any(.spdxElementId == $p and .relationshipType == "CONTAINS"))
  and (refs - [($d.hasExtractedLicensingInfos // [])[] | .licenseId] | length == 0)
' "$bom" >/dev/null || { echo "$bom is not a well-formed bill of materials" >&2; exit 1; }
# The statically linked runtimes where a program holds them: the Windows one in the .zip, the
# Linux one in the service's .deb (and with it in every package that carries that program); the
# kit's .deb holds none.
contents() {  # contents PATTERN: the names of what the package whose file name matches contains
  jq -r --arg p "$1" '(.packages | map({(.SPDXID): .name}) | add) as $n
    | (.packages[] | select(.packageFileName // "" | test($p)) | .SPDXID) as $id
    | .relationships[] | select(.spdxElementId == $id and .relationshipType == "CONTAINS")
    | $n[.relatedSpdxElement]' "$bom" | sort -u | paste -sd,
}
[ "$(contents 'win64\.zip$')" = "GCC runtime (libgcc, libstdc++),korvessa-client-services,mingw-w64 C runtime,mingw-w64 winpthreads,nlohmann-json" ] ||
  { echo "the .zip entry lists $(contents 'win64\.zip$')" >&2; exit 1; }
linux_runtime='GCC runtime for Linux (libgcc, libstdc++),GNU C Library (glibc),'
[ "$(contents '^korvessa-client-services_.*\.deb$')" = "${linux_runtime}korvessa-client-services,nlohmann-json" ] ||
  { echo "the service's .deb entry lists $(contents '^korvessa-client-services_.*\.deb$')" >&2; exit 1; }
[ "$(contents '^korvessa-launcher-kit-dev_.*\.deb$')" = "korvessa-client-services,nlohmann-json" ] ||
  { echo "the kit's .deb entry lists $(contents '^korvessa-launcher-kit-dev_.*\.deb$')" >&2; exit 1; }
for pattern in 'manylinux.*\.whl$' 'x86_64-unknown-linux-gnu$'; do
  [ "$(contents "$pattern")" = "$(contents 'Linux\.tar\.gz$')" ] ||
    { echo "the entry of $pattern lists $(contents "$pattern")" >&2; exit 1; }
done
for pattern in 'win_amd64\.whl$' 'x86_64-pc-windows-msvc\.exe$'; do
  [ "$(contents "$pattern")" = "$(contents 'win64\.zip$')" ] ||
    { echo "the entry of $pattern lists $(contents "$pattern")" >&2; exit 1; }
done

if grep -q -- '--sign-pkcs12' scripts/package.sh; then
  echo "-- a signed package build"
  cp -a "$out" "$scratch/unsigned-packages"
  bash scripts/package.sh --sign-pkcs12 "$cert/signer.p12" --password-file "$cert/password" \
    >/dev/null
  signed_zips=("$out"/korvessa-client-services-*-win64.zip)
  rm -rf "$scratch/signed"
  unzip -q "${signed_zips[0]}" -d "$scratch/signed"
  mapfile -t signed < <(find "$scratch/signed" -name '*.exe' | sort)
  [ ${#signed[@]} -eq ${#shipped[@]} ] || { echo "the signed .zip lacks programs" >&2; exit 1; }
  verified "${signed[@]}"
  # The npm package carries that same signed service.
  tar -xzOf "$out"/korvessa-launcher-kit-*.tgz package/service/win32-x64/korvessa-client-services.exe |
    cmp - "$(find "$scratch/signed" -name korvessa-client-services.exe)" ||
    { echo "the npm package does not carry the signed service" >&2; exit 1; }
  # And so does the NuGet package, where there is one (it needs the .NET SDK).
  nupkgs=("$out"/Korvessa.LauncherKit.*.nupkg)
  if [ -f "${nupkgs[0]}" ]; then
    unzip -p "${nupkgs[0]}" runtimes/win-x64/native/korvessa-client-services.exe |
      cmp - "$(find "$scratch/signed" -name korvessa-client-services.exe)" ||
      { echo "the NuGet package does not carry the signed service" >&2; exit 1; }
  fi
  # And so does the Python kit's Windows wheel.
  unzip -p "$out"/korvessa_launcher_kit-*-win_amd64.whl korvessa_launcher_kit/service/korvessa-client-services.exe |
    cmp - "$(find "$scratch/signed" -name korvessa-client-services.exe)" ||
    { echo "the Windows wheel does not carry the signed service" >&2; exit 1; }
  # And so does the Tauri sidecar beside the Rust crate.
  cmp "$out/korvessa-client-services-x86_64-pc-windows-msvc.exe" \
    "$(find "$scratch/signed" -name korvessa-client-services.exe)" ||
    { echo "the Tauri sidecar .exe is not the signed service" >&2; exit 1; }
  (cd "$out" && sha256sum -c --quiet SHA256SUMS)
  grep -q "${signed_zips[0]##*/}" "$out/SHA256SUMS" ||
    { echo "SHA256SUMS does not list the signed .zip" >&2; exit 1; }
  signed_boms=("$out"/*.spdx.json)
  if [ -f "${signed_boms[0]}" ]; then
    sum=$(sha256sum "${signed_zips[0]}" | cut -d' ' -f1)
    jq -e --arg f "${signed_zips[0]##*/}" --arg s "$sum" 'any(.packages[];
      .packageFileName == $f and any(.checksums[]; .checksumValue == $s))' \
      "${signed_boms[0]}" >/dev/null ||
      { echo "the bill of materials does not describe the signed .zip" >&2; exit 1; }
  fi
fi

echo "signing stage passed in $((SECONDS - started)) s"
