# Cross-compiling for 64-bit IBM Z Linux, a big-endian target, run under
# qemu-s390x. Debian: g++-s390x-linux-gnu, qemu-user.
#   cmake -S . -B build/s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(SORVANE_TARGET_TRIPLE s390x-linux-gnu)
set(SORVANE_TARGET_LOADER ld64.so.1)
set(SORVANE_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
