# Cross-compiling for 64-bit ARM Linux, run under qemu-aarch64. Its
# processors have fused multiply-add, which the compiler would use for a*b+c
# unless contraction is off: the tone's every-colour check guards that.
# Debian: g++-aarch64-linux-gnu, qemu-user.
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SORVANE_TARGET_TRIPLE aarch64-linux-gnu)
set(SORVANE_TARGET_LOADER ld-linux-aarch64.so.1)
set(SORVANE_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
