# shellcheck shell=bash
# The service programs that a launcher kit's package carries: the Linux program and the Windows
# .exe (version-stamped, and signed when the release is), each taken from a stripped install
# of the "service" component, so a kit ships the very files of the .tar.gz and the .zip.
# Sourced by scripts/package.sh and the kits' stages; each kit names its own folders.

# install_service BUILD_DIR DIR: a stripped install of BUILD_DIR's "service" component into DIR
# (the service is built there before).
install_service() {
  cmake --install "$1" --prefix "$2" --component service --strip >/dev/null
}

# The notices that go with the statically linked Linux program wherever it is carried (what it
# links in, the C library's licence and copyright file: docs/building.md), installed by the
# "service" component into share/doc/korvessa-client-services.
SERVICE_NOTICES=(NOTICE LGPL-2.1 glibc-copyright)

# stage_service_binaries LINUX_TREE WINDOWS_TREE LINUX_DIR WINDOWS_DIR: copies
# bin/korvessa-client-services of the installed LINUX_TREE into LINUX_DIR and
# bin/korvessa-client-services.exe of WINDOWS_TREE into WINDOWS_DIR, both with mode 0755 (the
# Linux program must keep its run bit through the package), and the tree's notices of the Linux
# program beside it.
stage_service_binaries() {
  local linux=$1/bin/korvessa-client-services windows=$2/bin/korvessa-client-services.exe
  local program
  for program in "$linux" "$windows"; do
    [ -f "$program" ] || { echo "no service program $program" >&2; return 1; }
  done
  mkdir -p "$3" "$4"
  install -m 0755 "$linux" "$3/korvessa-client-services"
  install -m 0755 "$windows" "$4/korvessa-client-services.exe"
  stage_service_notices "$1" "$3"
}

# stage_service_notices LINUX_TREE DIR: copies the notices of LINUX_TREE's program into DIR
# (mode 0644); a tree without them (a dynamically linked service) has none to copy.
stage_service_notices() {
  local notice
  [ -f "$1/share/doc/korvessa-client-services/NOTICE" ] || return 0
  mkdir -p "$2"
  for notice in "${SERVICE_NOTICES[@]}"; do
    install -m 0644 "$1/share/doc/korvessa-client-services/$notice" "$2/$notice"
  done
}
