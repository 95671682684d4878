# Shared by the MinGW-w64 toolchain files, which set SORVANE_MINGW_PREFIX
# (the compilers' triple) before including this.

# The posix-threads compilers first: with them the C++ library has std::thread
# and std::mutex (their threads library is linked in statically below).
find_program(CMAKE_C_COMPILER NAMES
  ${SORVANE_MINGW_PREFIX}-gcc-posix ${SORVANE_MINGW_PREFIX}-gcc ${SORVANE_MINGW_PREFIX}-gcc-win32)
find_program(CMAKE_CXX_COMPILER NAMES
  ${SORVANE_MINGW_PREFIX}-g++-posix ${SORVANE_MINGW_PREFIX}-g++ ${SORVANE_MINGW_PREFIX}-g++-win32)
find_program(CMAKE_RC_COMPILER NAMES ${SORVANE_MINGW_PREFIX}-windres windres)
set(SORVANE_WIDL_NAMES ${SORVANE_MINGW_PREFIX}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${SORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links the GCC, C++ and threads runtimes in, so that the DLLs and
# programs need only the system's DLLs (and each other).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
