#!/usr/bin/env bash
# sign-windows.sh --pkcs12 FILE --password-file FILE [--timestamp URL] EXE...
#
# Signs each Windows executable in place with an Authenticode SHA-256 signature (osslsigncode),
# using the certificate and private key of the caller's PKCS#12 file, whose password is the
# first line of the password file. With --timestamp the signature is countersigned by that
# RFC 3161 time-stamp server.
#
# All or nothing: every file is signed into a copy beside it and every copy is verified before
# the first one replaces its original, so a failure leaves each file as it was. A failure prints
# one line on stderr and ends with status 1; a usage error ends with status 2.
#
# Without --timestamp the signature is reproducible: its signing time is SOURCE_DATE_EPOCH when
# that is set (else the current time), and an RSA signature of the same bytes with the same key
# is the same. A time-stamp server's answer differs on every call.
set -euo pipefail
# shellcheck source=scripts/lib/host.sh
source "$(dirname "$0")/lib/host.sh"
# The caller's relative paths stay valid: this script does not change directory.
# shellcheck source=scripts/lib/packages.sh
source "$(dirname "$0")/lib/packages.sh"

me=sign-windows.sh
usage() {
  echo "usage: $me --pkcs12 FILE --password-file FILE [--timestamp URL] EXE..." >&2
  exit 2
}
fail() {
  echo "$me: $*" >&2
  exit 1
}

pkcs12='' password_file='' timestamp=''
exes=()
while [ $# -gt 0 ]; do
  case $1 in
    --pkcs12) [ $# -ge 2 ] || usage; pkcs12=$2; shift 2 ;;
    --password-file) [ $# -ge 2 ] || usage; password_file=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; timestamp=$2; shift 2 ;;
    --) shift; exes+=("$@"); break ;;
    -*) usage ;;
    *) exes+=("$1"); shift ;;
  esac
done
{ [ -n "$pkcs12" ] && [ -n "$password_file" ] && [ ${#exes[@]} -gt 0 ]; } || usage
case $timestamp in
  "" | http://?* | https://?*) ;;
  *) fail "time-stamp server must be an http:// or https:// URL: $timestamp" ;;
esac
epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}
[[ $epoch =~ ^[0-9]{1,12}$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $epoch"

# Inputs first, so that a wrong argument costs nothing.
{ [ -f "$pkcs12" ] && [ -r "$pkcs12" ]; } || fail "cannot read PKCS#12 file $pkcs12"
{ [ -r "$password_file" ] && [ ! -d "$password_file" ]; } || fail "cannot read password file $password_file"
for exe in "${exes[@]}"; do
  { [ -f "$exe" ] && [ -r "$exe" ]; } || fail "cannot read $exe"
  { [ -w "$(dirname -- "$exe")" ] && [ -w "$exe" ]; } || fail "cannot replace $exe (not writable)"
  [ "$(head -c 2 -- "$exe")" = MZ ] || fail "$exe is not a Windows executable"
done

ensure_packages osslsigncode openssl ca-certificates
# KCS_OSSLSIGNCODE may name another osslsigncode build (PATH is reset above).
osslsigncode=${KCS_OSSLSIGNCODE:-osslsigncode}

# Private scratch space: the password as the tools read it, the certificates, the logs.
scratch=$(mktemp -d)
signed=()
cleanup() {
  rm -rf "$scratch"
  local copy
  for copy in "${signed[@]}"; do rm -f -- "$copy"; done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
chmod 700 "$scratch"

# The password is the file's first line without its line end (CR LF too).
IFS= read -r password <"$password_file" || true
password=${password%$'\r'}
printf '%s\n' "$password" >"$scratch/password"
unset password

# The signer's certificate (the one matching the key) and the chain the file carries. Reading them
# checks the password before anything is signed; older PKCS#12 files need OpenSSL's legacy
# algorithms.
extract() {  # extract WHICH OUT: the -clcerts or -cacerts certificates as PEM
  openssl pkcs12 -in "$pkcs12" -passin "file:$scratch/password" -nokeys "$1" -out "$2" \
    2>>"$scratch/openssl.log" ||
    openssl pkcs12 -legacy -in "$pkcs12" -passin "file:$scratch/password" -nokeys "$1" \
      -out "$2" 2>>"$scratch/openssl.log"
}
extract -clcerts "$scratch/signer.pem" ||
  fail "cannot open $pkcs12: wrong password or not a PKCS#12 file"
grep -q 'BEGIN CERTIFICATE' "$scratch/signer.pem" ||
  fail "$pkcs12 holds no certificate with its private key"
extract -cacerts "$scratch/chain.pem" || : >"$scratch/chain.pem"
openssl x509 -in "$scratch/signer.pem" -noout -checkend 0 >/dev/null ||
  fail "the certificate in $pkcs12 has expired or is not valid yet"
# Windows refuses code signed with a certificate whose extended key usage excludes code signing.
if openssl x509 -in "$scratch/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null |
  grep -q 'Extended Key Usage'; then
  openssl x509 -in "$scratch/signer.pem" -noout -ext extendedKeyUsage | grep -q 'Code Signing' ||
    fail "the certificate in $pkcs12 is not for code signing (extended key usage)"
fi
leaf_hash=$(openssl x509 -in "$scratch/signer.pem" -outform DER | sha256sum | cut -d' ' -f1)

# Verification trusts the system's roots and the PKCS#12 file's own certificates, so that a
# certificate of the team's own (or a throwaway one in tests) verifies as well, and requires the
# signer to be this file's certificate.
cat "$scratch/signer.pem" "$scratch/chain.pem" >"$scratch/trusted.pem"
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
  cat /etc/ssl/certs/ca-certificates.crt >>"$scratch/trusted.pem"
fi

sign_args=(-pkcs12 "$pkcs12" -readpass "$scratch/password" -h sha256)
if [ -n "$timestamp" ]; then
  sign_args+=(-ts "$timestamp")
else
  sign_args+=(-time "$epoch")
fi

# The line of an osslsigncode log that says what went wrong.
reason() { grep -v '^Failed$' "$1" | grep -i -m 1 -E 'error|fail|unrecognized|mismatch|wrong' || true; }

for exe in "${exes[@]}"; do
  copy=$(mktemp -- "$(dirname -- "$exe")/.$(basename -- "$exe").signing.XXXXXX")
  signed+=("$copy")
  rm -f -- "$copy"  # osslsigncode writes a new file
  if ! "$osslsigncode" sign "${sign_args[@]}" -in "$exe" -out "$copy" >"$scratch/sign.log" 2>&1; then
    fail "cannot sign $exe: $(reason "$scratch/sign.log")"
  fi
  if ! "$osslsigncode" verify -CAfile "$scratch/trusted.pem" \
    -require-leaf-hash "sha256:$leaf_hash" -in "$copy" >"$scratch/verify.log" 2>&1; then
    fail "the signature of $exe does not verify: $(reason "$scratch/verify.log")"
  fi
  # osslsigncode accepts a signature whose time stamp does not verify; Windows ignores such a
  # time stamp, so it counts as a failure here.
  if [ -n "$timestamp" ] &&
    ! grep -q '^Timestamp Server Signature verification: ok' "$scratch/verify.log"; then
    fail "the time stamp of $exe does not verify against the system's root certificates"
  fi
  chmod --reference="$exe" -- "$copy"
done

# Every copy is signed and verified: they replace the originals (a rename each).
for i in "${!exes[@]}"; do
  mv -f -- "${signed[$i]}" "${exes[$i]}"
done
signed=()
for exe in "${exes[@]}"; do echo "signed $exe"; done
