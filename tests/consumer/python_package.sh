#!/usr/bin/env bash
# Installs the Python package (python/) with pip into a fresh virtual
# environment and runs its pytest tests against the freshly built library.
#   python_package.sh PYTHON PACKAGE_DIR WORKDIR LIBRARY
# Exits 77 (skipped) when the interpreter lacks venv or pytest.
set -uo pipefail
python=$1 package=$2 work=$3 library=$4
fail() { echo "FAILED: $*"; exit 1; }
"$python" -c 'import venv, ensurepip, pytest' 2>/dev/null ||
  { echo "skipped: $python lacks venv or pytest (python3-venv, python3-pytest)"; exit 77; }

rm -rf "$work" && mkdir -p "$work" || fail "no work directory $work"
# The system's pytest and setuptools serve the environment: nothing is downloaded.
"$python" -m venv --system-site-packages "$work/venv" || fail "python3 -m venv"
# A copy, so that the build leaves nothing in the checkout.
cp -r "$package" "$work/package" || fail "copying $package"
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$work/package" || fail "pip install"
cd "$work" || fail "cd $work"
VOLKIT_LIBRARY=$library "$work/venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp="$work/tmp" \
  "$package/tests" || fail "pytest"
