"""`make python`, as the README gives it, into a temporary virtual
environment (with the system's packages: NumPy), then kalmex from there,
away from the build tree; the checkout is left as it was."""

import os
import subprocess
import sys

import pytest


def listing(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder)
                  for d, _, files in os.walk(folder) for f in files if "__pycache__" not in d)


def test_make_python_installs_into_a_virtual_environment(tmp_path):
    build = os.environ.get("KALMEX_BUILD_DIR")
    source = os.environ.get("KALMEX_PYTHON_SOURCE")
    if not build or not source:
        pytest.skip("run by ctest, which names the build tree")
    root = os.path.dirname(source)
    before = listing(source)
    venv = tmp_path / "venv"
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.pop("MAKEFLAGS", None)
    subprocess.run(["make", "--no-print-directory", "-C", root, "python", "BUILD=" + build,
                    "VENV=" + str(venv), "PYTHON=" + sys.executable], check=True, env=env,
                   cwd=tmp_path)
    assert listing(source) == before
    run = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import kalmex, numpy as np; print(kalmex.__file__); "
         "print(int(kalmex.regionseg(np.eye(9, dtype=np.uint8) * 200, threshold=5).max()))"],
        check=True, env=env, cwd=tmp_path, capture_output=True, text=True)
    where, regions = run.stdout.split()
    assert where.startswith(str(venv)) and int(regions) >= 2
