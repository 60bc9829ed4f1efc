"""pip install --no-build-isolation --no-index python/ into a temporary
virtual environment (with the system's packages: NumPy), then kalmex from
there, away from the build tree."""

import os
import shutil
import subprocess
import sys

import pytest


def test_pip_install_into_a_virtual_environment(tmp_path):
    build = os.environ.get("KALMEX_BUILD_DIR")
    source = os.environ.get("KALMEX_PYTHON_SOURCE")
    if not build or not source:
        pytest.skip("run by ctest, which names the build tree")
    # A copy of the package folder: pip builds in it, the checkout stays clean.
    package = tmp_path / "python"
    shutil.copytree(source, package, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index",
                    str(package)], check=True, env=env, cwd=tmp_path)
    run = subprocess.run(
        [python, "-c", "import kalmex, numpy as np; print(kalmex.__file__); "
         "print(int(kalmex.regionseg(np.eye(9, dtype=np.uint8) * 200, threshold=5).max()))"],
        check=True, env=env, cwd=tmp_path, capture_output=True, text=True)
    where, regions = run.stdout.split()
    assert where.startswith(str(venv)) and int(regions) >= 2
