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

# stage_service_binaries LINUX_TREE WINDOWS_TREE LINUX_DIR WINDOWS_DIR: copies
# bin/korvessa-client-services of the installed LINUX_TREE into LINUX_DIR and
# bin/korvessa-client-services.exe of WINDOWS_TREE into WINDOWS_DIR, both with mode 0755 (the
# Linux program must keep its run bit through the package).
stage_service_binaries() {
  local linux=$1/bin/korvessa-client-services windows=$2/bin/korvessa-client-services.exe
  local program
  for program in "$linux" "$windows"; do
    [ -f "$program" ] || { echo "no service program $program" >&2; return 1; }
  done
  mkdir -p "$3" "$4"
  install -m 0755 "$linux" "$3/korvessa-client-services"
  install -m 0755 "$windows" "$4/korvessa-client-services.exe"
}
