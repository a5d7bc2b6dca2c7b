# Run by CPack on the staged files before it builds the Debian package:
# gzips the manual page and adds a changelog, as Debian packages hold them.
# A plain `cmake --install` keeps the page uncompressed and has no changelog.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(docdir "${root}/share/doc/${CPACK_PACKAGE_NAME}")

# Debian's changelog layout; the date honours SOURCE_DATE_EPOCH.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${docdir}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")

# -n: no name or time stamp inside, so the same files give the same bytes.
foreach(file "${root}/share/man/man1/pdsplit.1" "${docdir}/changelog")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9nf ${file} failed")
  endif()
endforeach()
