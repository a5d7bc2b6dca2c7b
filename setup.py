# The extension pdsplit._core: the bindings in python/src and the program's
# C++ sources except its entry point, with the reading of gzip, xz and bzip2
# files (src/textio/decompress*.cpp), which links zlib, liblzma and libbz2
# (Debian: zlib1g-dev liblzma-dev libbz2-dev); gzip data is inflated by
# ISA-L where its header is found (Debian: libisal-dev), else by zlib.
# Metadata: pyproject.toml.
import os
from glob import glob

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

SOURCES = sorted(glob("python/src/*.cpp")) + sorted(
    f
    for part in ("textio", "console", "doscar", "output", "collect")
    for f in glob(f"src/{part}/*.cpp")
)

ISAL = any(os.path.exists(f"{d}/isa-l/igzip_lib.h") for d in ("/usr/include", "/usr/local/include"))

os.makedirs("build-pip", exist_ok=True)
setup(
    ext_modules=[
        Pybind11Extension(
            "pdsplit._core",
            SOURCES,
            include_dirs=["src"],
            libraries=["z", "lzma", "bz2"] + (["isal"] if ISAL else []),
            define_macros=[("PDSPLIT_HAVE_ISAL", "1")] if ISAL else [],
            cxx_std=20,
        )
    ],
    cmdclass={"build_ext": build_ext},
    # Build files go to build-pip/, away from the CMake build trees and the sources.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
