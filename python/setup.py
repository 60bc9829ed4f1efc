"""kalmex for Python, built by the project's CMake.

The extension's sources are the cores beside this folder, so the package is
built from a checkout: ``make python`` installs it into a virtual environment
(tools/python_install.sh), or, inside one that sees the system's packages,
``pip install --no-build-isolation --no-index python/``.
KALMEX_BUILD_DIR names a configured build tree to build the extension in
(it is then reused, as the tests do); by default a fresh one is configured
under setuptools' temporary folder.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        build = os.environ.get("KALMEX_BUILD_DIR")
        if build:
            build = pathlib.Path(build).resolve()
        else:
            build = pathlib.Path(self.build_temp).resolve() / "cmake"
            build.mkdir(parents=True, exist_ok=True)
            subprocess.check_call(
                [
                    "cmake",
                    "-S",
                    str(ROOT),
                    "-B",
                    str(build),
                    "-DCMAKE_BUILD_TYPE=Release",
                    "-DKALMEX_TESTS=OFF",
                    "-DKALMEX_BENCH=OFF",
                    "-DKALMEX_OCTAVE=OFF",
                    "-DKALMEX_PYTHON=" + sys.executable,
                ]
            )
        jobs = os.environ.get("JOBS", "2")
        subprocess.check_call(["cmake", "--build", str(build), "--target", "_kalmex", "-j", jobs])
        built = sorted((build / "python" / "kalmex").glob("_kalmex*.so"))
        if not built:
            raise RuntimeError("the build made no extension in " + str(build))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built[0], target)


setup(
    name="kalmex",
    version="0.1.0",
    description="Split-and-merge segmentation of 2-D and 3-D images, and the kalmex toolbox's cores, for NumPy",
    packages=["kalmex"],
    ext_modules=[Extension("kalmex._kalmex", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"dask": ["dask", "distributed"]},
)
