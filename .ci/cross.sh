#!/usr/bin/env bash
# The library and the program built for other processors with Debian's
# cross compilers and checked under qemu-user (ctest runs each program through
# the emulator the toolchain file names; the program's tests start it through
# a script that does the same, so no binfmt handler is needed):
#   armel    ARMv5TE, soft-float, no lock-free atomics: the gtest suite,
#            every colour of the tone and all of the program's tests
#   s390x    64-bit, big-endian: the gtest suite, every colour of the tone
#            and all of the program's tests
#   i686     32-bit x86, from a toolchain file that names no processor: every
#            colour of the tone (SSE2 doubles), the x87 refusal and all of the
#            program's tests
#   aarch64  64-bit ARM, with fused multiply-add: every colour of the tone
#            (which fails if the compiler contracts a*b+c) and all of the
#            program's tests
# GoogleTest is built for each target from Debian's sources, inside the
# project's build (cmake/GoogleTest.cmake), as the test command does it.
# CROSS_TARGETS="armel i686" runs some of them only.
set -euo pipefail
cd "$(dirname "$0")/.."

# Tests that cannot work under qemu-user, left out of every run (ctest name
# regexes). Say why for each one.
QEMU_EXCLUDED_TESTS=(
  # Caps its own address space with setrlimit(RLIMIT_AS); qemu-user ignores
  # the guest's address-space limits, so the allocation never fails.
  'FaultInjection\.FailedAllocationWritesNothing'
)
# The program's tests start a copy of it as nobody; under the emulator that
# copy is a script that starts the build tree's program, which nobody must
# then be able to reach.
if ! setpriv --reuid=nobody --regid=nogroup --clear-groups test -r "$PWD/CMakeLists.txt"; then
  QEMU_EXCLUDED_TESTS+=('^Program\.FoldersWithRecursive$')
fi

need=()
for pkg in qemu-user g++-arm-linux-gnueabi g++-s390x-linux-gnu g++-i686-linux-gnu \
  g++-aarch64-linux-gnu googletest ninja-build; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

excluded=$(IFS='|'; echo "${QEMU_EXCLUDED_TESTS[*]}")

# cross NAME TOOLCHAIN TARGETS CMAKE-ARGS...: builds TARGETS into build/NAME.
cross() {
  local name=$1 toolchain=$PWD/cmake/$2.cmake targets=$3
  shift 3
  local build=build/$name start=$SECONDS
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DSORVANE_BUILD_TESTS=ON -DSORVANE_BUILD_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    "$@" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$build" -j2 --target $targets
  echo "cross $name: built in $((SECONDS - start)) s"
}

# check NAME SKIP CTEST-ARGS...: runs tests of build/NAME but those excluded
# above and those SKIP matches (a regex, or nothing).
check() {
  local name=$1 skip=$excluded${2:+|$2} start=$SECONDS
  shift 2
  ctest --test-dir "build/$name" -j2 --output-on-failure --no-tests=error -E "$skip" "$@"
  echo "cross $name: tested in $((SECONDS - start)) s"
}

program='bmpvintage bmpvintage_tool_tests'
for target in ${CROSS_TARGETS:-armel s390x i686 aarch64}; do
  case $target in
    armel) cross armel arm-linux-gnueabi "sorvane_tests tone_exhaustive $program"
           check armel '' -L '^(library|tool)$' ;;
    s390x) cross s390x s390x-linux-gnu "sorvane_tests tone_exhaustive $program"
           check s390x '' -L '^(library|tool)$' ;;
    i686)  cross i686 i686-linux-gnu "tone_exhaustive $program"
           check i686 '' -L '^(library|tool)$' ;;
    aarch64) cross aarch64 aarch64-linux-gnu "tone_exhaustive $program"
             check aarch64 '' -L '^(library|tool)$' ;;
    *) echo "cross: unknown target $target" >&2; exit 2 ;;
  esac
done
