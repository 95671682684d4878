# Cross-compiling for 32-bit x86 Linux, run under qemu-i386 (kernels without
# 32-bit support cannot run the programs themselves). Debian:
# g++-i686-linux-gnu, qemu-user.
#   cmake -S . -B build/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
#
# No CMAKE_SYSTEM_PROCESSOR on purpose: the compiler's default is the x87
# unit, and the build must find from the compiler itself that it targets
# 32-bit x86 and add the SSE2 flags (see the top CMakeLists.txt). CI builds
# and checks the tone with this file as it is.
set(CMAKE_SYSTEM_NAME Linux)
set(SORVANE_TARGET_TRIPLE i686-linux-gnu)
set(SORVANE_TARGET_LOADER ld-linux.so.2)
set(SORVANE_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
