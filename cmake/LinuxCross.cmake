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
  # The emulator runs the target's dynamic loader (SORVANE_TARGET_LOADER),
  # which finds the target's libraries by --library-path. Not -L: that also
  # sends every absolute path the program opens into /usr/<triple> when it
  # exists there, and "/" always does, so a walk from "/" fails (and
  # qemu-i386 hangs when such a program starts a thread).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SORVANE_QEMU_PROGRAM}
    /usr/${SORVANE_TARGET_TRIPLE}/lib/${SORVANE_TARGET_LOADER}
    --library-path /usr/${SORVANE_TARGET_TRIPLE}/lib)
endif()
