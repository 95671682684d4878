# GoogleTest for the tests: the installed package (Debian: libgtest-dev), or
# else built here from Debian's sources of it (the googletest package,
# /usr/src/googletest), so that `cmake --workflow --preset test` needs no
# more than CMake, a compiler and those sources. -DSORVANE_GTEST_SOURCE=...
# names other sources of GoogleTest 1.11 or later.
find_package(GTest)
if(GTest_FOUND)
  return()
endif()
set(SORVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH
  "GoogleTest's sources, built when its package is not found")
if(NOT EXISTS ${SORVANE_GTEST_SOURCE}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest not found, neither installed nor as sources in "
    "${SORVANE_GTEST_SOURCE} (Debian: apt-get install libgtest-dev)")
endif()
message(STATUS "GoogleTest built from ${SORVANE_GTEST_SOURCE}")
# Only the test framework: no GoogleMock, nothing installed with the project
# (EXCLUDE_FROM_ALL leaves out its install rules too), no shared libraries,
# and none of its targets built unless a test needs it.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF)
add_subdirectory(${SORVANE_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
