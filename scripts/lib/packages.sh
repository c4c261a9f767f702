# shellcheck shell=bash
# ensure_packages PKG...: installs the Debian packages that are not installed yet (as root, or
# through sudo when it is there). Sourced by the scripts in scripts/.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "missing Debian packages: ${missing[*]}; run this as root, or install them as root" >&2
      return 1
    fi
    sudo="sudo"
  fi
  echo "installing: ${missing[*]}"
  if [ -z "${KCS_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export KCS_APT_UPDATED=1
  fi
  # Through env, since sudo drops the variables set before it.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
