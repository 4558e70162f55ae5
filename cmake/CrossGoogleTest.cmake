# GoogleTest for a cross build (mingw-w64): compiled from Debian's source
# package `googletest` (/usr/src/googletest) with the cross compiler, and
# exposed under the names find_package(GTest) gives.
set(NORZA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${NORZA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${NORZA_GOOGLETEST_SOURCE} (apt-get install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# Our -Wall -Wextra would only add noise on third-party code.
add_subdirectory(${NORZA_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main gmock gmock_main)
  if(TARGET ${lib} AND NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
# The test programs are Windows executables: list their cases when ctest runs
# (through CMAKE_CROSSCOMPILING_EMULATOR, e.g. wine), never at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
