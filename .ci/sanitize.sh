#!/usr/bin/env bash
# The whole test suite under AddressSanitizer (with leak checks) and
# UndefinedBehaviorSanitizer; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset asan

# The core library's streams on eight threads under ThreadSanitizer: a lean
# build of just the core's test program.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_BUILD_TESTS=ON \
  -DSORVANE_BUILD_BENCH=OFF -DSORVANE_HARDENING=OFF \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_C_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  >/dev/null
cmake --build build/tsan -j2 --target sorvane_core_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/sorvane_core_tests --gtest_filter='CoreThreads.*'
