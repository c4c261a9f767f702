# shellcheck shell=bash
# Sourced first by every script in scripts/: the same locale and search path whatever the caller's
# environment holds. A fresh login on a minimal Debian has no LANG (and Wine maps wide file names
# through the locale's character set, so non-ASCII names would fail), and `su` or `env -i` may
# leave /usr/sbin out of PATH, without which dpkg refuses to install what apt-get fetched (it
# needs ldconfig and start-stop-daemon from there).
export LC_ALL=C.UTF-8
unset LANGUAGE
export PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin${PATH:+:$PATH}"

# fresh_folder DIR KEEP: DIR exists and holds nothing but its entry KEEP (a download cache, kept
# so that a rerun fetches nothing again), whatever an earlier run left there.
fresh_folder() {
  mkdir -p "$1"
  find "$1" -mindepth 1 -maxdepth 1 ! -name "$2" -exec rm -rf {} +
}
