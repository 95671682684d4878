#!/usr/bin/env bash
# Windows on ARM, with clang-16 and MinGW-w64 sysroots built from Debian's
# source packages (cmake/mingw-arm-sysroot.sh, which the toolchain files run:
# it installs what they need and keeps the sysroots in ~/.cache/sorvane, or
# $SORVANE_CACHE, so that a machine builds them once):
#   ARM64  the DLL, bmpvintage.exe and their ZIP (build/windows-arm64)
#   ARMv7  the DLL and bmpvintage.exe (build/windows-armv7)
# The presets named in SORVANE_WINDOWS_ARM_CONFIGURE_ONLY are only configured
# (which builds a missing sysroot): .ci/run names those the test command
# builds again with the same toolchain file and build type.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/name-failures.sh

for preset in windows-arm64 windows-armv7; do
  start=$SECONDS
  case " ${SORVANE_WINDOWS_ARM_CONFIGURE_ONLY:-} " in
    *" $preset "*) cmake --preset "$preset" >/dev/null ;;
    *) cmake --workflow --preset "$preset" ;;
  esac
  echo "$preset: $((SECONDS - start)) s"
done
