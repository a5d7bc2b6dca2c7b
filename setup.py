# The extension pdsplit._core: the bindings in python/src and the program's
# C++ sources except its entry point, with the reading of gzip, xz and bzip2
# files (src/textio/decompress*.cpp), which links zlib, liblzma and libbz2
# (Debian: zlib1g-dev liblzma-dev libbz2-dev); gzip data is inflated by
# ISA-L where its header is found (Debian: libisal-dev), else by zlib;
# vaspout.h5 (src/vaspout) is read with libhdf5 where pkg-config knows it
# (Debian: libhdf5-dev), else the module refuses such files.
# Metadata: pyproject.toml.
import os
import shlex
import subprocess
from glob import glob

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

SOURCES = sorted(glob("python/src/*.cpp")) + sorted(
    f
    for part in ("textio", "console", "doscar", "output", "collect", "vasprun", "vaspout")
    for f in glob(f"src/{part}/*.cpp")
)

ISAL = any(os.path.exists(f"{d}/isa-l/igzip_lib.h") for d in ("/usr/include", "/usr/local/include"))


def hdf5_flags():
    """pkg-config's compiler and linker flags of libhdf5 (hdf5-serial, else hdf5), or None."""
    for name in ("hdf5-serial", "hdf5"):
        try:
            out = subprocess.run(["pkg-config", "--cflags", "--libs", name],
                                 capture_output=True, text=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError):
            continue
        flags = shlex.split(out)
        return {
            "include_dirs": [f[2:] for f in flags if f.startswith("-I")],
            "library_dirs": [f[2:] for f in flags if f.startswith("-L")],
            "libraries": [f[2:] for f in flags if f.startswith("-l")],
        }
    return None


HDF5 = hdf5_flags()

os.makedirs("build-pip", exist_ok=True)
setup(
    ext_modules=[
        Pybind11Extension(
            "pdsplit._core",
            SOURCES,
            include_dirs=["src"] + (HDF5["include_dirs"] if HDF5 else []),
            library_dirs=HDF5["library_dirs"] if HDF5 else [],
            libraries=["z", "lzma", "bz2"] + (["isal"] if ISAL else [])
            + (HDF5["libraries"] if HDF5 else []),
            define_macros=([("PDSPLIT_HAVE_ISAL", "1")] if ISAL else [])
            + ([("PDSPLIT_HDF5", "1")] if HDF5 else []),
            cxx_std=20,
        )
    ],
    cmdclass={"build_ext": build_ext},
    # Build files go to build-pip/, away from the CMake build trees and the sources.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
