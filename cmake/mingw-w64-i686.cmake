# Cross-compiling for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686
# and mingw-w64-tools), for hosts that are 32-bit processes:
#   cmake -S . -B build/windows32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#   cmake --build build/windows32
# The compiler's default floating point is the x87 unit; the build adds the
# SSE2 flags (a Pentium 4 or later) so that the tone's doubles stay exact.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SORVANE_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWCross.cmake)
