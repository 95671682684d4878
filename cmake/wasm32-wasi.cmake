# WebAssembly (wasm32-wasi) with Debian's clang 14:
#   apt-get install clang-14 lld-14 wasi-libc libc++-14-dev-wasm32 \
#     libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32
#   cmake --workflow --preset web
# Only the pure parts are built (the tone, the layout, the colour plan and the
# streaming loop), into modules that import nothing; see web/CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(SORVANE_WASM ON)

find_program(SORVANE_WASM_CLANG NAMES clang-14 clang REQUIRED)
find_program(SORVANE_WASM_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${SORVANE_WASM_CLANG})
set(CMAKE_CXX_COMPILER ${SORVANE_WASM_CLANGXX})
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
# Debian puts wasi-libc and libc++ for wasm32-wasi under /usr.
set(CMAKE_SYSROOT /usr)

# No exceptions and no runtime type information: nothing the module does
# throws, and without them libc++ needs nothing from outside the module.
# Only the wasm32-wasi libc++ headers: clang 14 also searches the native
# /usr/include/c++/v1 (Debian's libc++-dev), whose wchar.h, found first by
# its include guard, hides wasi-libc's declarations (wcschr undeclared).
# The three flags go together: that libc++ is built without exceptions and
# RTTI.
set(CMAKE_CXX_FLAGS_INIT
  "-fno-exceptions -fno-rtti -nostdinc++ -isystem ${CMAKE_SYSROOT}/include/wasm32-wasi/c++/v1")
# (-nostdinc++ reaches the link too, where it means nothing.)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -Wno-unused-command-line-argument")
# The compiler checks link a whole program; a static library needs no entry.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
