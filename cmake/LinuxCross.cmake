# Shared by the Linux cross toolchain files: Debian's cross compilers for
# SORVANE_TARGET_TRIPLE, the target's libraries under /usr/<triple>, and the
# target's programs run under SORVANE_QEMU (Debian: qemu-user), so that
# ctest and gtest_discover_tests work from the build host.
set(CMAKE_C_COMPILER ${SORVANE_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SORVANE_TARGET_TRIPLE}-g++)

# Adds to a root path given on the command line rather than replacing it.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${SORVANE_TARGET_TRIPLE})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(SORVANE_QEMU_PROGRAM NAMES ${SORVANE_QEMU} ${SORVANE_QEMU}-static)
if(SORVANE_QEMU_PROGRAM)
  # -L: where the target's dynamic loader and libraries are.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SORVANE_QEMU_PROGRAM} -L /usr/${SORVANE_TARGET_TRIPLE})
endif()
