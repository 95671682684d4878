#!/usr/bin/env bash
# Wine for the ARM64 Windows tests: Debian's wine64:arm64, unpacked once per
# machine into the cache (tests/module/wine_arm64.sh), and qemu-user to run
# it. The test preset's windows_dll_arm64_under_wine then builds the Windows
# tests for ARM64 with the sysroot that .ci/windows-arm.sh made and runs them
# there, as windows_dll_under_wine does for x64. Where this kernel cannot
# give a user namespace a binfmt_misc of its own (Linux 6.7 or later), that
# test is skipped, with the reason, and this says so here too.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/name-failures.sh

start=$SECONDS
root=$(bash tests/module/wine_arm64.sh prepare | tail -n 1)
if why=$(bash tests/module/wine_arm64.sh check "$root"); then
  echo "arm64 Wine in $root runs here ($((SECONDS - start)) s)"
else
  echo "ARM64 Windows tests will be skipped: $why"
fi
