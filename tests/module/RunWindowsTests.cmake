# Cross-compiles the project for Windows on ARCH in BINARY and runs its
# Windows tests under Wine, with a Wine prefix of its own inside BINARY:
#   x64    MinGW-w64's g++, Debian's wine64
#   arm64  clang-16 and the sysroot of cmake/mingw-arm-sysroot.sh, Debian's
#          wine64:arm64 under qemu-aarch64 (tests/module/wine_arm64.sh)
#   cmake -DSOURCE=<source dir> -DBINARY=<build dir> [-DARCH=x64|arm64]
#         [-DGENERATOR=<generator>] -P RunWindowsTests.cmake
include(${CMAKE_CURRENT_LIST_DIR}/WindowsTools.cmake)
if(NOT ARCH)
  set(ARCH x64)
endif()
if(ARCH STREQUAL "x64")
  sorvane_find_windows_tools(missing)
  set(toolchain mingw-w64-x86_64.cmake)
  set(wine ${SORVANE_WINE})
elseif(ARCH STREQUAL "arm64")
  sorvane_find_wine_arm64(missing)
  set(toolchain mingw-w64-aarch64.cmake)
  # The sysroot takes minutes to build: these tests use it once it is made.
  execute_process(COMMAND bash ${SOURCE}/cmake/mingw-arm-sysroot.sh --cached aarch64
    OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE result)
  string(REGEX REPLACE ".*\n" "" sysroot "${sysroot}")
  if(NOT result EQUAL 0 OR NOT IS_DIRECTORY "${sysroot}")
    list(APPEND missing "no ARM64 sysroot yet (cmake/mingw-arm-sysroot.sh aarch64 builds it)")
  endif()
  set(toolchain_options -DSORVANE_MINGW_SYSROOT=${sysroot})
  set(wine bash ${CMAKE_CURRENT_LIST_DIR}/wine_arm64.sh ${SORVANE_WINE_ARM64})
else()
  message(FATAL_ERROR "ARCH ${ARCH}: x64 or arm64")
endif()
if(missing)
  list(JOIN missing "; " missing)
  message("Windows tests skipped: ${ARCH}: ${missing}")
  return()
endif()

set(emulator ${CMAKE_COMMAND} -E env
  WINEPREFIX=${BINARY}/wineprefix
  WINEDEBUG=-all
  # No prompts to install Wine's Mono and Gecko.
  WINEDLLOVERRIDES=mscoree,mshtml=
  ${wine})
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
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/${toolchain} ${toolchain_options}
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
if(ARCH STREQUAL "arm64")
  # One server for the whole run, started before the prefix is made (the
  # prefix's folder first: without it the server refuses the architecture).
  # Under qemu a server started anew by a test boots the prefix's services
  # again, and two programs started at once then each start them: seen to
  # hang every test after it.
  set(server ${CMAKE_COMMAND} -E env WINEPREFIX=${BINARY}/wineprefix
    bash ${CMAKE_CURRENT_LIST_DIR}/wine_arm64.sh server ${SORVANE_WINE_ARM64})
  file(MAKE_DIRECTORY ${BINARY}/wineprefix)
  # To files, not pipes: the server goes on in the background and would hold
  # a pipe open until it ends.
  message(STATUS "Starting the Wine server")
  execute_process(COMMAND ${server} -p RESULT_VARIABLE result
    OUTPUT_FILE ${BINARY}/wineserver.log ERROR_FILE ${BINARY}/wineserver.log)
  check("Starting the Wine server" "${result}")
endif()
if(NOT ARCH STREQUAL "arm64")
  run("Preparing the Wine prefix" ${emulator} wineboot.exe --init)
  run("Running the Windows tests under Wine"
    ${CMAKE_CTEST_COMMAND} --test-dir ${BINARY} --output-on-failure --no-tests=error)
  return()
endif()
message(STATUS "Preparing the Wine prefix")
# Its services go on beside a server that stays: their output to a file.
execute_process(COMMAND ${emulator} wineboot.exe --init RESULT_VARIABLE booted
  OUTPUT_FILE ${BINARY}/wineboot.log ERROR_FILE ${BINARY}/wineboot.log)
file(READ ${BINARY}/wineboot.log boot_log)
message("${boot_log}")
if(booted EQUAL 0)
  message(STATUS "Running the Windows tests under Wine")
  execute_process(
    COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${BINARY} --output-on-failure --no-tests=error
    RESULT_VARIABLE result)
endif()
execute_process(COMMAND ${server} -k)
check("Preparing the Wine prefix" "${booted}")
check("Running the Windows tests under Wine" "${result}")
