# Shared by the toolchain files for Windows on ARM, which set
# SORVANE_MINGW_ARCH (aarch64 or armv7) before including this. Debian ships
# no MinGW-w64 for ARM: cmake/mingw-arm-sysroot.sh builds a sysroot for
# clang-16 and lld-16 from Debian's source packages, the first time only
# (it is cached outside the build tree, see there), and this runs it unless
# -DSORVANE_MINGW_SYSROOT=<folder> names one.
set(triple ${SORVANE_MINGW_ARCH}-w64-mingw32)
# The sysroot reaches the test projects of try_compile too. A cached one
# that has gone since the last configure is built again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SORVANE_MINGW_SYSROOT)
if(NOT EXISTS "${SORVANE_MINGW_SYSROOT}/bin/${triple}-clang")
  message(STATUS "MinGW-w64 sysroot for ${triple}: cmake/mingw-arm-sysroot.sh ${SORVANE_MINGW_ARCH}")
  execute_process(
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/mingw-arm-sysroot.sh ${SORVANE_MINGW_ARCH}
    OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE result)
  string(REGEX REPLACE ".*\n" "" sysroot "${sysroot}")  # its last line
  if(NOT result EQUAL 0 OR NOT IS_DIRECTORY "${sysroot}")
    message(FATAL_ERROR "No MinGW-w64 sysroot for ${triple}: cmake/mingw-arm-sysroot.sh failed (${result})")
  endif()
  set(SORVANE_MINGW_SYSROOT "${sysroot}" CACHE PATH "The MinGW-w64 sysroot for ${triple}" FORCE)
endif()

# The sysroot's wrappers: clang-16 with the target, the sysroot, the UCRT,
# compiler-rt, libunwind, libc++ and ld.lld-16.
set(CMAKE_C_COMPILER ${SORVANE_MINGW_SYSROOT}/bin/${triple}-clang)
set(CMAKE_CXX_COMPILER ${SORVANE_MINGW_SYSROOT}/bin/${triple}-clang++)
set(CMAKE_RC_COMPILER ${SORVANE_MINGW_SYSROOT}/bin/${triple}-windres)
find_program(CMAKE_AR NAMES llvm-ar-16 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-16 REQUIRED)
find_program(CMAKE_STRIP NAMES llvm-strip-16 REQUIRED)
find_program(CMAKE_OBJDUMP NAMES llvm-objdump-16)
# The type library is the same for every target (widl --win32): any
# MinGW-w64 widl compiles it (Debian: mingw-w64-tools).
set(SORVANE_WIDL_NAMES x86_64-w64-mingw32-widl i686-w64-mingw32-widl)

set(CMAKE_FIND_ROOT_PATH ${SORVANE_MINGW_SYSROOT}/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime and unwinder are linked in (the sysroot has no DLLs of
# them), so that the DLL and programs need only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ld.lld-16 links (module/CMakeLists.txt names the DLL's exports for it).
set(SORVANE_LLD ON)
