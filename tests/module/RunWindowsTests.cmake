# Cross-compiles the project for Windows in BINARY and runs its Windows tests
# under Wine, with a Wine prefix of its own inside BINARY.
#   cmake -DSOURCE=<source dir> -DBINARY=<build dir> [-DGENERATOR=<generator>] -P RunWindowsTests.cmake
include(${CMAKE_CURRENT_LIST_DIR}/WindowsTools.cmake)
sorvane_find_windows_tools(missing)
if(missing)
  message("Windows tests skipped: ${missing}")
  return()
endif()

set(emulator ${CMAKE_COMMAND} -E env
  WINEPREFIX=${BINARY}/wineprefix
  WINEDEBUG=-all
  # No prompts to install Wine's Mono and Gecko.
  WINEDLLOVERRIDES=mscoree,mshtml=
  ${SORVANE_WINE})
set(generator "")
if(GENERATOR)
  set(generator -G ${GENERATOR})
endif()

function(check what result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what}: failed (${result})")
  endif()
endfunction()

# The emulator goes in as one argument, a list.
message(STATUS "Configuring the Windows build in ${BINARY}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} ${generator}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64-x86_64.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DSORVANE_BUILD_TESTS=OFF
    -DSORVANE_WINDOWS_TESTS=ON
    "-DCMAKE_CROSSCOMPILING_EMULATOR=${emulator}"
  RESULT_VARIABLE result)
check("Configuring" "${result}")

function(run what)
  message(STATUS "${what}")
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  check("${what}" "${result}")
endfunction()

run("Building" ${CMAKE_COMMAND} --build ${BINARY} --parallel 2)
run("Preparing the Wine prefix" ${emulator} wineboot.exe --init)
run("Running the Windows tests under Wine"
  ${CMAKE_CTEST_COMMAND} --test-dir ${BINARY} --output-on-failure --no-tests=error)
