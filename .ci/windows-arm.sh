#!/usr/bin/env bash
# Windows on ARM, with clang-16 and MinGW-w64 sysroots built from Debian's
# source packages (cmake/mingw-arm-sysroot.sh; kept in ~/.cache/sorvane, or
# $SORVANE_CACHE, so that a machine builds them once):
#   ARM64  the DLL, bmpvintage.exe and their ZIP (build/windows-arm64)
#   ARMv7  the DLL and bmpvintage.exe (build/windows-armv7)
set -euo pipefail
cd "$(dirname "$0")/.."

# widl for the type library; the sysroot script installs clang-16, lld-16
# and llvm-16 itself.
need=()
for pkg in mingw-w64-tools; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

for preset in windows-arm64 windows-armv7; do
  start=$SECONDS
  cmake --workflow --preset "$preset"
  echo "$preset: $((SECONDS - start)) s"
done
