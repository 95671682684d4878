#!/usr/bin/env bash
# Tools for the Windows builds and their tests, installed when missing, so
# that the test command cross-compiles the 64-bit DLL and runs its tests
# under Wine, and builds the 32-bit DLL and reads it with the PE reader.
# Recommends are installed too: Wine was tested here with them.
set -euo pipefail
need=()
for pkg in g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine64 python3-pefile; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
