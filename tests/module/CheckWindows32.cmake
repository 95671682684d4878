# Builds a 32-bit Windows DLL and program in BINARY with the commands the
# README gives (no test framework for Windows needed), then reads both with
# the independent PE reader: one export at ordinal 1, the version record and
# type library, system DLLs only, code for ARCH's processor; the core DLL
# exporting its bmpv_ calls alone:
#   i686   32-bit x86, MinGW-w64's g++
#   armv7  Thumb-2 ARMv7 (ARMNT), clang-16 and the sysroot of
#          cmake/mingw-arm-sysroot.sh, once that is built; nothing runs it here
#   cmake -DSOURCE=<source dir> -DBINARY=<build dir> -DPYTHON=<python3 with pefile>
#         [-DARCH=i686|armv7] [-DGENERATOR=<generator>] -P CheckWindows32.cmake
include(${CMAKE_CURRENT_LIST_DIR}/WindowsTools.cmake)
if(NOT ARCH)
  set(ARCH i686)
endif()
set(options "")
if(ARCH STREQUAL "i686")
  sorvane_find_mingw(i686-w64-mingw32 missing)
  set(machine i386)
elseif(ARCH STREQUAL "armv7")
  set(missing "")
  execute_process(COMMAND bash ${SOURCE}/cmake/mingw-arm-sysroot.sh --cached armv7
    OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE result)
  string(REGEX REPLACE ".*\n" "" sysroot "${sysroot}")
  if(NOT result EQUAL 0 OR NOT IS_DIRECTORY "${sysroot}")
    list(APPEND missing "no ARMv7 sysroot yet (cmake/mingw-arm-sysroot.sh armv7 builds it)")
  endif()
  set(options -DCMAKE_BUILD_TYPE=Release -DSORVANE_MINGW_SYSROOT=${sysroot})
  set(machine armnt)
else()
  message(FATAL_ERROR "ARCH ${ARCH}: i686 or armv7")
endif()
if(NOT PYTHON)
  list(APPEND missing "no python3 with pefile (Debian: python3-pefile)")
endif()
if(missing)
  list(JOIN missing "; " missing)
  message("32-bit Windows DLL skipped: ${ARCH}: ${missing}")
  return()
endif()

set(generator "")
if(GENERATOR)
  set(generator -G ${GENERATOR})
endif()

function(run what)
  message(STATUS "${what}")
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what}: failed (${result})")
  endif()
endfunction()

run("Configuring the 32-bit Windows build for ${ARCH} in ${BINARY}"
  ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} ${generator}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64-${ARCH}.cmake ${options})
run("Building" ${CMAKE_COMMAND} --build ${BINARY} --parallel 2)
run("Reading SorvaneBMPVintage.DLL, libbmpvintage-1.dll and bmpvintage.exe"
  ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_pe.py ${BINARY}/SorvaneBMPVintage.DLL
    --machine ${machine} --program ${BINARY}/bmpvintage.exe
    --core ${BINARY}/libbmpvintage-1.dll --symbols ${SOURCE}/module/abi/libbmpvintage.symbols)
