# shellcheck shell=bash
# The wheels of the Python launcher kit (kits/python): building them with Debian's python3-build
# and setuptools (no network, no isolated environment), and checking what they hold. Sourced by
# the scripts in scripts/, after scripts/lib/packages.sh and scripts/lib/version.sh.

# The platform tags of the two wheels. The Linux service is linked statically, so it needs no C
# library of the system's: it runs on glibc systems (manylinux_2_17: glibc 2.17 or later, which
# is every x86-64 Linux pip serves) and on musl ones (musllinux_1_1) alike.
PYTHON_KIT_LINUX_TAG=manylinux_2_17_x86_64.musllinux_1_1_x86_64
PYTHON_KIT_WINDOWS_TAG=win_amd64

# ensure_python_kit_build: what building the wheels needs.
ensure_python_kit_build() {
  ensure_packages python3 python3-build python3-setuptools python3-wheel unzip
}

# python_kit_wheel_name VERSION TAG: the file name of the wheel of that version and platform tag.
python_kit_wheel_name() {
  echo "korvessa_launcher_kit-$1-py3-none-$2.whl"
}

# build_python_kit_wheels OUT_DIR VERSION LINUX_SERVICE WINDOWS_EXE: the two wheels, stamped
# with VERSION, into OUT_DIR: each built from a clean copy of kits/python (no tests, no build
# leftovers) with its service in the package's service/ folder (mode 0755, which the wheel keeps
# for pip; the Linux one with the notices of its installed tree), its modes normalised and its
# dates SOURCE_DATE_EPOCH (else the last commit's time), so that one commit builds the same
# bytes anywhere. Debian's /usr/bin/python3 builds them, with nothing of the caller's environment.
build_python_kit_wheels() {
  local out version=$2 work epoch platform tag program staged
  out=$(realpath -- "$1")
  epoch=$(source_date_epoch)
  work=$(mktemp -d)
  for platform in linux windows; do
    if [ "$platform" = linux ]; then tag=$PYTHON_KIT_LINUX_TAG program=$3; else tag=$PYTHON_KIT_WINDOWS_TAG program=$4; fi
    [ -f "$program" ] || { echo "no service program $program" >&2; rm -rf "$work"; return 1; }
    staged=$work/$platform
    mkdir -p "$staged/src/korvessa_launcher_kit/service"
    tar -C kits/python --exclude=./tests --exclude=./build --exclude=./dist --exclude='*.egg-info' \
      --exclude=__pycache__ --exclude=.mypy_cache --exclude=.pytest_cache \
      --exclude=./src/korvessa_launcher_kit/service -cf - . | tar -C "$staged" -xf -
    cp LICENSE "$staged/"
    printf '# Written by the package build: the project'"'"'s version.\n__version__ = "%s"\n' \
      "$version" >"$staged/src/korvessa_launcher_kit/_version.py"
    install -m 0755 "$program" "$staged/src/korvessa_launcher_kit/service/"
    # The Linux program's notices go beside it (scripts/lib/service_binaries.sh).
    [ "$platform" = windows ] ||
      stage_service_notices "${program%/bin/korvessa-client-services}" "$staged/src/korvessa_launcher_kit/service"
    chmod -R u+rwX,go+rX,go-w "$staged"
    (umask 022 && cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work" LC_ALL=C.UTF-8 \
      SOURCE_DATE_EPOCH="$epoch" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m build --wheel \
      --no-isolation --outdir "$out" "-C--build-option=--plat-name=$tag" "$staged") \
      >"$work/$platform.log" 2>&1 ||
      { cat "$work/$platform.log" >&2; echo "building the $platform wheel failed" >&2; rm -rf "$work"; return 1; }
  done
  rm -rf "$work"
}

# check_python_kit_wheels DIR VERSION [LINUX_SERVICE WINDOWS_EXE]: DIR holds the two wheels of
# VERSION, each with the kit's modules, py.typed, the PyInstaller hook, its service (the Linux
# one with its run bit and its notices) and its metadata, and nothing else; their WHEEL files
# name the platform tags, their RECORD the checksum and size of every other member; and, when
# given, the carried services are these files.
check_python_kit_wheels() {
  local dir=$1 version=$2 tag wheel program entry listing
  local info="korvessa_launcher_kit-$version.dist-info"
  local allowed="^(korvessa_launcher_kit/(_?[a-z_]+\.py|py\.typed|_pyinstaller/(__init__|hook-korvessa_launcher_kit)\.py|service/(korvessa-client-services(\.exe)?|NOTICE|LGPL-2\.1|glibc-copyright))|$info/(LICENSE|METADATA|WHEEL|RECORD|entry_points\.txt|top_level\.txt))$"
  for tag in "$PYTHON_KIT_LINUX_TAG" "$PYTHON_KIT_WINDOWS_TAG"; do
    wheel=$dir/$(python_kit_wheel_name "$version" "$tag")
    [ -f "$wheel" ] || { echo "no wheel $wheel" >&2; return 1; }
    if [ "$tag" = "$PYTHON_KIT_LINUX_TAG" ]; then program=korvessa-client-services; else program=korvessa-client-services.exe; fi
    listing=$(unzip -Z1 "$wheel")
    while read -r entry; do
      [[ $entry =~ $allowed ]] || { echo "${wheel##*/} holds $entry" >&2; return 1; }
    done <<<"$listing"
    for entry in korvessa_launcher_kit/__init__.py korvessa_launcher_kit/py.typed \
      korvessa_launcher_kit/_pyinstaller/hook-korvessa_launcher_kit.py \
      "korvessa_launcher_kit/service/$program" "$info/METADATA" "$info/entry_points.txt"; do
      grep -qx "$entry" <<<"$listing" || { echo "${wheel##*/} lacks $entry" >&2; return 1; }
    done
    if [ "$tag" = "$PYTHON_KIT_LINUX_TAG" ]; then
      for entry in NOTICE LGPL-2.1 glibc-copyright; do
        grep -qx "korvessa_launcher_kit/service/$entry" <<<"$listing" ||
          { echo "${wheel##*/} lacks the service's $entry" >&2; return 1; }
      done
    fi
    [ "$(grep -c '^korvessa_launcher_kit/service/korvessa-client-services' <<<"$listing")" -eq 1 ] ||
      { echo "${wheel##*/} carries more than its one service" >&2; return 1; }
    unzip -Z "$wheel" "korvessa_launcher_kit/service/$program" | grep -q '^-rwxr-xr-x ' ||
      { echo "${wheel##*/}: the service lacks its run bit" >&2; return 1; }
    diff <(unzip -p "$wheel" "$info/WHEEL" | sed -n 's/^Tag: //p') <(tr . '\n' <<<"$tag" | sed 's/^/py3-none-/') >&2 ||
      { echo "${wheel##*/}: WHEEL names other tags (above)" >&2; return 1; }
    unzip -p "$wheel" "$info/METADATA" | grep -qx "Version: $version" ||
      { echo "${wheel##*/}: METADATA is not of version $version" >&2; return 1; }
    unzip -p "$wheel" korvessa_launcher_kit/_version.py | grep -qx "__version__ = \"$version\"" ||
      { echo "${wheel##*/}: _version.py is not of version $version" >&2; return 1; }
    # The record, read with the standard library's zip and hash code only.
    /usr/bin/python3 - "$wheel" "$info/RECORD" <<'PYTHON' || return 1
import base64, csv, hashlib, io, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    rows = {row[0]: row[1:] for row in csv.reader(io.TextIOWrapper(wheel.open(sys.argv[2]), "utf-8"))}
    for name in wheel.namelist():
        data = wheel.read(name)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        expected = ["", ""] if name == sys.argv[2] else [f"sha256={digest}", str(len(data))]
        if rows.pop(name, None) != expected:
            sys.exit(f"{sys.argv[1]}: RECORD does not hold {name} as it is")
    if rows:
        sys.exit(f"{sys.argv[1]}: RECORD names what the wheel lacks: {sorted(rows)}")
PYTHON
    if [ $# -ge 4 ]; then
      if [ "$tag" = "$PYTHON_KIT_LINUX_TAG" ]; then entry=$3; else entry=$4; fi
      unzip -p "$wheel" "korvessa_launcher_kit/service/$program" | cmp - "$entry" ||
        { echo "${wheel##*/} does not carry $entry" >&2; return 1; }
    fi
  done
}
