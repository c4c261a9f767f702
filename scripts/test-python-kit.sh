#!/usr/bin/env bash
# Python launcher kit stage: builds the two wheels of korvessa-launcher-kit (kits/python) as the
# package build does, carrying the service built for Linux and cross-built for Windows, checks
# what they hold, installs the Linux one with pip --no-index into a fresh virtual environment
# under build-python-kit/, runs the kit's pytest tests there against the service the wheel
# carries, runs mypy --strict over the kit and over the tests and the example as typed users of
# the installed package, and runs examples/python-launcher from there with no service path.
# Debian's python3 throughout (a python of the caller's, such as pyenv's, is not used).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/host.sh
source scripts/lib/packages.sh
source scripts/lib/version.sh
source scripts/lib/service_binaries.sh
source scripts/lib/python_kit.sh

ensure_packages cmake make g++ nlohmann-json3-dev g++-mingw-w64-x86-64-posix googletest
ensure_python_kit_build
ensure_packages python3-venv python3-pytest mypy
started=$SECONDS
root=$PWD
work=$root/build-python-kit
rm -rf "$work"
mkdir -p "$work/wheels" "$work/client" "$work/runtime"
# Nothing of the caller's Python settings: no configuration, no user site, no extra paths.
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP PYTHONUSERBASE
export PYTHONNOUSERSITE=1 PYTHONDONTWRITEBYTECODE=1 PIP_CONFIG_FILE=/dev/null
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PIP_NO_INPUT=1
version=$(project_version)
echo "-- $(/usr/bin/python3 --version), $(/usr/bin/python3 -m pytest --version 2>&1), $(mypy --version)"

# The service for both platforms the wheels carry; only its target is built.
for preset in default windows; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)" --target korvessa-client-services >/dev/null
done
install_service build "$work/service-linux"
install_service build-windows "$work/service-windows"
linux_service=$work/service-linux/bin/korvessa-client-services
windows_service=$work/service-windows/bin/korvessa-client-services.exe

echo "-- the wheels"
build_python_kit_wheels "$work/wheels" "$version" "$linux_service" "$windows_service"
check_python_kit_wheels "$work/wheels" "$version" "$linux_service" "$windows_service"
for wheel in "$work"/wheels/*.whl; do
  echo "${wheel##*/}: $(stat -c %s "$wheel") bytes"
done
wheel=$work/wheels/$(python_kit_wheel_name "$version" "$PYTHON_KIT_LINUX_TAG")

echo "-- pip install --no-index into a fresh virtual environment"
# With the system's site packages for Debian's pytest; the kit comes from the wheel alone.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
python=$work/venv/bin/python
"$python" -m pip install --no-index --quiet "$wheel"
"$python" - "$version" "$work/venv" <<'PYTHON'
import os, sys
import korvessa_launcher_kit as kit
assert kit.__version__ == sys.argv[1], kit.__version__
assert kit.__file__.startswith(sys.argv[2] + os.sep), kit.__file__
assert os.access(kit.default_service_path(), os.X_OK), "the installed service cannot be run"
PYTHON

# A private runtime directory: the registered presence must not reach a real Discord.
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime

echo "-- tests against the installed wheel"
cp -r kits/python/tests "$work/tests"
cp -r examples/python-launcher "$work/example"
# The tests run on the service the wheel carries; none may be skipped. (pytest's status 5, no
# tests collected, fails the stage as any other.)
(cd "$work/tests" && KCS_CASES=$root/kits/cases.json "$python" -m pytest -q -p no:cacheprovider \
  -W error -rs . >"$work/tests.log" 2>&1) || { cat "$work/tests.log"; exit 1; }
tail -n 1 "$work/tests.log"
if grep -q skipped "$work/tests.log"; then cat "$work/tests.log"; exit 1; fi

echo "-- mypy --strict"
# The kit from its source, with its own settings; the tests and the example against the
# installed package (found through its py.typed) and Python 3.9's standard library.
(cd kits/python/src && mypy --config-file ../pyproject.toml --cache-dir "$work/mypy-cache" \
  -p korvessa_launcher_kit)
(cd "$work" && mypy --strict --python-version 3.9 --python-executable "$python" \
  --cache-dir "$work/mypy-cache" tests example/launcher.py)

echo "-- examples/python-launcher"
(cd "$work/example" && "$python" launcher.py "$work/client")

echo "python launcher kit stage passed in $((SECONDS - started)) s"
