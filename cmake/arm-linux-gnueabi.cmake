# Cross-compiling for 32-bit ARM Linux without floating-point hardware
# (Debian armel: ARMv5TE, soft-float, so every double operation is a call
# into libgcc), run under qemu-arm. Debian: g++-arm-linux-gnueabi, qemu-user.
#   cmake -S . -B build/armel -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SORVANE_TARGET_TRIPLE arm-linux-gnueabi)
set(SORVANE_TARGET_LOADER ld-linux.so.3)
set(SORVANE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
