# Cross build for Linux with Debian's cross compilers, run under qemu-user:
#   cmake -S . -B build-x-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/cross-linux.cmake \
#         -DPDSPLIT_CROSS_ARCH=s390x -DPDSPLIT_GTEST_SOURCE_DIR=/usr/src/googletest
# (apt-get install g++-s390x-linux-gnu qemu-user googletest). Programs are
# linked statically, so qemu needs no target libraries to run them.
if(NOT PDSPLIT_CROSS_ARCH)
  set(PDSPLIT_CROSS_ARCH "$ENV{PDSPLIT_CROSS_ARCH}")
endif()
if(NOT PDSPLIT_CROSS_ARCH)
  message(FATAL_ERROR "set PDSPLIT_CROSS_ARCH (aarch64, s390x, ...)")
endif()
# try_compile projects read this file again: hand them the architecture.
set(ENV{PDSPLIT_CROSS_ARCH} "${PDSPLIT_CROSS_ARCH}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${PDSPLIT_CROSS_ARCH})
set(pdsplit_triple ${PDSPLIT_CROSS_ARCH}-linux-gnu)
set(CMAKE_C_COMPILER ${pdsplit_triple}-gcc)
set(CMAKE_CXX_COMPILER ${pdsplit_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${pdsplit_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(pdsplit_qemu_arch ${PDSPLIT_CROSS_ARCH})
if(PDSPLIT_CROSS_ARCH MATCHES "^i[3-6]86$")
  set(pdsplit_qemu_arch i386)
endif()
find_program(pdsplit_qemu qemu-${pdsplit_qemu_arch} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${pdsplit_qemu})
