#!/usr/bin/env bash
# tools/python_install.sh PYTHON BUILD VENV  (what `make python` runs)
# Installs the package kalmex into the virtual environment VENV, made with
# PYTHON if it is not there yet, which sees the system's own packages (NumPy,
# setuptools, wheel; Debian's python3 takes no pip install outside a virtual
# environment).  pip builds a copy of python/ made under BUILD, and the
# extension in the configured build tree BUILD, offline: no index, no build
# isolation.  The checkout is left as it is.
set -euo pipefail
(($# == 3)) || { echo "usage: tools/python_install.sh PYTHON BUILD VENV" >&2; exit 2; }
python=$1
build=$(cd "$2" && pwd)
venv=$3
root=$(cd "$(dirname "$0")/.." && pwd)

[[ -x $venv/bin/python ]] || "$python" -m venv --system-site-packages "$venv"
copy=$build/python-package
rm -rf "$copy"
mkdir -p "$copy/kalmex"
cp "$root/python/setup.py" "$root/python/pyproject.toml" "$copy/"
cp "$root"/python/kalmex/*.py "$copy/kalmex/"
KALMEX_BUILD_DIR=$build PIP_DISABLE_PIP_VERSION_CHECK=1 \
  "$venv/bin/python" -m pip install -q --no-build-isolation --no-index "$copy"
echo "kalmex is installed in $venv: run $venv/bin/python, or first . $venv/bin/activate"
