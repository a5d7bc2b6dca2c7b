# The extension pdsplit._core: the bindings in python/src and the program's
# C++ sources except its entry point (metadata: pyproject.toml).
import os
from glob import glob

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

SOURCES = sorted(glob("python/src/*.cpp")) + sorted(
    f for part in ("textio", "console", "doscar", "output") for f in glob(f"src/{part}/*.cpp")
)

os.makedirs("build-pip", exist_ok=True)
setup(
    ext_modules=[Pybind11Extension("pdsplit._core", SOURCES, include_dirs=["src"], cxx_std=20)],
    cmdclass={"build_ext": build_ext},
    # Build files go to build-pip/, away from the CMake build trees and the sources.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
