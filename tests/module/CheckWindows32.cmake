# Builds the 32-bit Windows DLL and program in BINARY with the commands the
# README gives (no test framework for Windows needed), then reads both with
# the independent PE reader: one export at ordinal 1, the version record and
# type library, system DLLs only, 32-bit x86 code.
#   cmake -DSOURCE=<source dir> -DBINARY=<build dir> -DPYTHON=<python3 with pefile>
#         [-DGENERATOR=<generator>] -P CheckWindows32.cmake
include(${CMAKE_CURRENT_LIST_DIR}/WindowsTools.cmake)
sorvane_find_mingw(i686-w64-mingw32 missing)
if(NOT PYTHON)
  list(APPEND missing "no python3 with pefile (Debian: python3-pefile)")
endif()
if(missing)
  list(JOIN missing "; " missing)
  message("32-bit Windows DLL skipped: ${missing}")
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

run("Configuring the 32-bit Windows build in ${BINARY}"
  ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} ${generator}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64-i686.cmake)
run("Building" ${CMAKE_COMMAND} --build ${BINARY} --parallel 2)
run("Reading SorvaneBMPVintage.DLL and bmpvintage.exe"
  ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_pe.py ${BINARY}/SorvaneBMPVintage.DLL
    --machine i386 --program ${BINARY}/bmpvintage.exe)
