#!/usr/bin/env bash
# Lint stage: shellcheck over every shell script the repository tracks (by name, or by a shebang
# that names a shell), following what each sources. A finding fails the stage; an exception is
# made, and justified, at the line it concerns.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh

ensure_packages shellcheck git

mapfile -t scripts < <(
  git ls-files -z | while IFS= read -r -d '' file; do
    [ -f "$file" ] || continue
    case $file in
      *.sh) printf '%s\n' "$file" ;;
      *) head -n 1 -- "$file" | grep -qE '^#!.*[/ ](ba)?sh( |$)' && printf '%s\n' "$file" ;;
    esac
  done
)
[ ${#scripts[@]} -gt 0 ] || { echo "no shell scripts found" >&2; exit 1; }
echo "-- $(shellcheck --version | sed -n 's/^version: /shellcheck /p') over ${#scripts[@]} scripts"
shellcheck --external-sources "${scripts[@]}"
echo "lint stage passed"
