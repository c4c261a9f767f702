# shellcheck shell=bash
# Checks that a carried Linux service runs on every x86-64 Linux: what it asks of the system's
# dynamic loader (readelf), and a run in an older Debian root. Sourced by the packages stage,
# which lists each package's Linux service with one carried_linux_service line.

# The only shared libraries a carried program may name, and the newest glibc symbol version it
# may need (2.17, CentOS 7's, the oldest C library still commonly met; a static program needs
# none).
PORTABLE_LIBRARIES=" libc.so.6 libm.so.6 libpthread.so.0 ld-linux-x86-64.so.2 "
PORTABLE_GLIBC=2.17
# The older root: Debian 11, made once with debootstrap and kept outside the tree.
OLDER_SUITE=bullseye
OLDER_ROOT=/var/cache/korvessa-$OLDER_SUITE-root

# package_member PACKAGE MEMBER DEST: writes the file MEMBER (a glob on the archive's paths) of a
# .deb, .tar.gz, .tgz, .crate, .zip, .whl or .nupkg into DEST, or with MEMBER empty the file
# PACKAGE itself (a program shipped bare); fails when no member matches.
package_member() {
  local package=$1 member=$2 dest=$3
  case ${member:+archive}:$package in
    :*) cp -- "$package" "$dest" ;;
    *.deb) dpkg-deb --fsys-tarfile "$package" | tar -xOf - --wildcards "$member" >"$dest" ;;
    *.tar.gz | *.tgz | *.crate) tar -xzOf "$package" --wildcards "$member" >"$dest" ;;
    *.zip | *.whl | *.nupkg) unzip -p "$package" "$member" >"$dest" ;;
    *) echo "no way to read $package" >&2; return 1 ;;
  esac || { echo "$package has no $member" >&2; return 1; }
  [ -s "$dest" ] || { echo "$package: $member is empty" >&2; return 1; }
}

# portable_elf FILE NAME: FILE (called NAME in messages) is an x86-64 Linux program that names no
# shared library beyond the C library's and needs no glibc symbol version above PORTABLE_GLIBC
# (and so neither libstdc++ nor libgcc_s).
portable_elf() {
  local file=$1 name=$2 library newest
  readelf -hW "$file" 2>/dev/null | grep -Eq 'Machine:[[:space:]]+Advanced Micro Devices X86-64' ||
    { echo "$name is not an x86-64 ELF program" >&2; return 1; }
  while IFS= read -r library; do
    [[ $PORTABLE_LIBRARIES == *" $library "* ]] ||
      { echo "$name needs the shared library $library" >&2; return 1; }
  done < <(readelf -dW "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
  newest=$( { readelf -VW "$file"; objdump -T "$file" 2>/dev/null; } |
    grep -o 'GLIBC_[0-9][0-9.]*[0-9]' | sed 's/^GLIBC_//' | sort -uV | tail -n 1)
  if [ -n "$newest" ] &&
    [ "$(printf '%s\n' "$newest" "$PORTABLE_GLIBC" | sort -V | tail -n 1)" != "$PORTABLE_GLIBC" ]; then
    echo "$name needs GLIBC_$newest (at most GLIBC_$PORTABLE_GLIBC is allowed)" >&2
    return 1
  fi
}

# carried_linux_service PACKAGE [MEMBER]: takes the Linux service MEMBER (a glob) out of PACKAGE
# (or PACKAGE itself, without MEMBER) into the folder PORTABLE_SCRATCH, checks it with
# portable_elf and adds it to CARRIED_SERVICES (its name, then its file) for the run in the older root.
CARRIED_SERVICES=()
carried_linux_service() {
  local member=${2:-} file
  local name="${1##*/}${member:+: $member}"
  file=$PORTABLE_SCRATCH/service-$(( ${#CARRIED_SERVICES[@]} / 2 ))
  package_member "$1" "$member" "$file" && portable_elf "$file" "$name" || return 1
  CARRIED_SERVICES+=("$name" "$file")
}

# debian_mirror: the URI the system's apt sources fetch its own Debian release from (one-line
# or deb822 format), so the older root comes from where the machine already gets its packages.
debian_mirror() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v suite="$codename" '$1 == "deb" { for (i = 2; i < NF; i++) if ($i !~ /^\[|=|\]$/) {
      if ($(i + 1) == suite) { print $i; exit } break } }' | head -n 1 | grep . && return 0
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite="$codename" '
    /^[[:space:]]*$/ { if (deb && has) { print uri; exit } deb = has = 0; uri = ""; next }
    tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
    tolower($1) == "uris:" { uri = $2 }
    tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) has = 1 }
    END { if (deb && has) print uri }' | head -n 1 | grep .
}

# older_root: makes OLDER_ROOT (a minimal Debian OLDER_SUITE) unless a complete one is there.
# Fails with the reason on standard output when it cannot: not root, no mirror, the mirror does
# not serve the suite, debootstrap fails. Made under a second name and renamed when complete, so
# an interrupted run leaves nothing that looks usable.
older_root() {
  [ -f "$OLDER_ROOT/.complete" ] && return 0
  [ "$(id -u)" -eq 0 ] || { echo "not root (debootstrap and chroot need it)"; return 1; }
  # One maker at a time; who waited finds the root complete.
  local lock
  exec {lock}>"$OLDER_ROOT.lock"
  flock "$lock"
  [ -f "$OLDER_ROOT/.complete" ] && return 0
  local mirror partial=$OLDER_ROOT.partial log
  mirror=$(debian_mirror) || { echo "no Debian mirror in the apt sources"; return 1; }
  ensure_packages debootstrap wget >/dev/null || { echo "debootstrap cannot be installed"; return 1; }
  # Short time-outs and few retries: without network the probe and the download fail quickly.
  WGETRC=$(mktemp) || return 1
  printf 'timeout = 20\ntries = 2\n' >"$WGETRC"
  export WGETRC
  if ! wget -q --spider "$mirror/dists/$OLDER_SUITE/Release"; then
    rm -f "$WGETRC"
    echo "the apt mirror $mirror does not serve $OLDER_SUITE, or cannot be reached"
    return 1
  fi
  # --one-file-system: a failed debootstrap may leave /proc mounted in the root.
  rm -rf --one-file-system "$partial"
  log=$(mktemp)
  if ! debootstrap --variant=minbase --arch=amd64 "$OLDER_SUITE" "$partial" "$mirror" >"$log" 2>&1; then
    echo "debootstrap failed: $(grep -m 1 '^E:' "$log" || tail -n 1 "$log")"
    rm -f "$WGETRC" "$log"
    return 1
  fi
  rm -f "$WGETRC" "$log"
  rm -f "$partial"/var/cache/apt/archives/*.deb
  date -u +%F >"$partial/.complete"
  rm -rf --one-file-system "$OLDER_ROOT"
  mv "$partial" "$OLDER_ROOT"
}

# run_in_older_root FILE NAME: runs the program FILE (called NAME in messages) inside OLDER_ROOT:
# --help, then a short session: a live launcher, the configuration line, the address line, one
# authorised GET /health, and status 0 once the launcher is gone.
run_in_older_root() {
  local file=$1 name=$2 dir inside help
  # A folder of its own in the root's /tmp: stages of other checkouts may use the root at once.
  dir=$(mktemp -d "$OLDER_ROOT/tmp/korvessa-check.XXXXXX") || return 1
  inside=${dir#"$OLDER_ROOT"}/korvessa-client-services
  install -m 0755 "$file" "$OLDER_ROOT$inside"
  help=$(chroot "$OLDER_ROOT" "$inside" --help) ||
    { echo "$name --help failed in the $OLDER_SUITE root" >&2; return 1; }
  [ "$help" = 'korvessa-client-services --launcher-pid <pid>' ] ||
    { echo "$name --help in the $OLDER_SUITE root wrote: $help" >&2; return 1; }

  local token launcher service address port='' reply='' status=0
  token=$(od -An -N24 -tx1 /dev/urandom | tr -d ' \n')
  sleep 120 &
  launcher=$!
  # exec: the coprocess is the service itself (chroot execs it), so its pid is the service's.
  coproc SERVICE { exec chroot "$OLDER_ROOT" "$inside" --launcher-pid "$launcher" \
    <<<"{\"token\":\"$token\",\"clientDir\":\"\"}" 2>"$dir/stderr"; }
  service=$SERVICE_PID
  if read -r -t 30 address <&"${SERVICE[0]}" && [[ $address =~ ^http://127\.0\.0\.1:([0-9]+)$ ]]; then
    port=${BASH_REMATCH[1]}
    # shellcheck disable=SC2016  # the inner shell expands its own arguments
    reply=$(timeout 30 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" &&
      printf "GET /health HTTP/1.1\r\nhost: 127.0.0.1\r\nx-korvessa-token: %s\r\n\r\n" "$2" >&3 &&
      cat <&3' _ "$port" "$token") || true
  fi
  kill "$launcher" 2>/dev/null || true
  wait "$launcher" 2>/dev/null || true
  # The service looks for its launcher about every 100 ms; after 30 s it is stuck, and killed.
  timeout 30 tail --pid="$service" -s 0.2 -f /dev/null || kill -KILL "$service" 2>/dev/null || true
  wait "$service" || status=$?
  local said
  said=$(head -c 300 "$dir/stderr")
  rm -rf "$dir"
  [ -n "$port" ] ||
    { echo "$name announced no address in the $OLDER_SUITE root: $said" >&2; return 1; }
  [[ $reply == *'{"ok":true,"service":"korvessa-client-services"}'* ]] ||
    { echo "$name in the $OLDER_SUITE root answered GET /health with: ${reply:-nothing}" >&2; return 1; }
  [ "$status" -eq 0 ] ||
    { echo "$name ended with status $status in the $OLDER_SUITE root: $said" >&2; return 1; }
}
