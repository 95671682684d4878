# Cross-compiling for 32-bit Windows on ARM (ARMv7, Thumb-2) with clang-16
# and a MinGW-w64 sysroot built from Debian's sources (see
# MinGWClangArm.cmake):
#   cmake --workflow --preset windows-armv7
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(SORVANE_MINGW_ARCH armv7)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWClangArm.cmake)
