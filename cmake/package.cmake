# Debian package. In a Release build tree, `cpack -G DEB` writes
# pdsplit_<version>_<arch>.deb holding the installed files under /usr, with
# the manual page gzipped and a changelog as Debian lays them out (see
# deb-staging.cmake), the licence as /usr/share/doc/pdsplit/copyright and
# the library dependencies worked out by dpkg-shlibdeps.
set(PDSPLIT_MAINTAINER "pdsplit developers <pdsplit@users.noreply.github.com>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")

set(CPACK_PACKAGE_NAME pdsplit)
set(CPACK_PACKAGE_VENDOR "pdsplit developers")
set(CPACK_PACKAGE_CONTACT "${PDSPLIT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PDSPLIT_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnuplot")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "split a VASP DOSCAR file into density-of-states column files")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "pdsplit reads the DOSCAR file that VASP writes and writes the total density
of states, the projected density of states of every atom or of one atom, and
sums over groups of atoms into plain column files, with the energies shifted
to the Fermi level or kept as they are. It is fast enough for multi-gigabyte
files and loops over thousands of calculation folders.
.
The package also holds a gnuplot script, /usr/share/pdsplit/plot.gp, that
draws the total and projected density of states of a calculation folder.")

set(PDSPLIT_DEB_DATE "" CACHE STRING "Date of the package's changelog entry (default: now)")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-staging.cmake)
include(CPack)
