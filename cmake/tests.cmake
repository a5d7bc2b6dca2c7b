# GoogleTest is needed for the tests only. Without it the program is still
# built: configure says the tests are skipped, unless they were asked for
# with -DPDSPLIT_TESTS=ON, which then stops with the same advice.
set(PDSPLIT_GTEST_SOURCE_DIR "" CACHE PATH
    "Build GoogleTest from this source tree (for cross builds), e.g. /usr/src/googletest")

set(pdsplit_tests_asked "${PDSPLIT_TESTS}")
if(NOT DEFINED PDSPLIT_TESTS OR PDSPLIT_TESTS)
  if(PDSPLIT_GTEST_SOURCE_DIR)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${PDSPLIT_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(GTest_FOUND TRUE)
  else()
    find_package(GTest QUIET)
  endif()
endif()

set(pdsplit_gtest_advice
    "GoogleTest not found: install it (Debian and Ubuntu: apt-get install libgtest-dev)")
if(GTest_FOUND AND (NOT DEFINED PDSPLIT_TESTS OR PDSPLIT_TESTS))
  set(PDSPLIT_TESTS ON)
elseif(pdsplit_tests_asked)
  message(FATAL_ERROR "PDSPLIT_TESTS=ON, but ${pdsplit_gtest_advice}")
elseif(NOT DEFINED PDSPLIT_TESTS)
  message(STATUS "Tests skipped: ${pdsplit_gtest_advice} and configure again")
  set(PDSPLIT_TESTS OFF)
endif()
