# Tests against hostile files and failing systems, added to the suite by
# tests/CMakeLists.txt.

# Inputs the fuzzer once tripped on (fuzz/regressions/*.bmp) are compiled
# into the suite, so that every platform replays them without file access.
file(GLOB sorvane_fuzz_regressions CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/fuzz/regressions/*.bmp)
set(sorvane_regression_table "")
foreach(file IN LISTS sorvane_fuzz_regressions)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  get_filename_component(name ${file} NAME)
  string(APPEND sorvane_regression_table "{\"${name}\", {${hex}}},\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/FuzzRegressions.inc
  CONTENT "${sorvane_regression_table}")
target_sources(sorvane_tests PRIVATE FuzzReplayTest.cpp)
target_include_directories(sorvane_tests PRIVATE ${CMAKE_CURRENT_BINARY_DIR})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_package(Threads REQUIRED)
  target_sources(sorvane_tests PRIVATE FaultInjectionTest.cpp ConcurrencyTest.cpp
    AllocationLimitTest.cpp)
  target_link_libraries(sorvane_tests PRIVATE Threads::Threads)
endif()

# The core library's C calls (module/bmpv.h), in a program of their own so
# that .ci/sanitize.sh can build just it under ThreadSanitizer.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_executable(sorvane_core_tests CoreTest.cpp)
  target_link_libraries(sorvane_core_tests PRIVATE sorvane_core GTest::gtest_main Threads::Threads)
  gtest_discover_tests(sorvane_core_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS library)
endif()
