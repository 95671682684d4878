# Cross-compiling for 64-bit Windows on ARM (ARM64) with clang-16 and a
# MinGW-w64 sysroot built from Debian's sources (see MinGWClangArm.cmake):
#   cmake --workflow --preset windows-arm64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(SORVANE_MINGW_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWClangArm.cmake)
