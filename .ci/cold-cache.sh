#!/usr/bin/env bash
# The cache from nothing, as on a new machine, whatever this one has cached:
# tests/module/wine_arm64.sh prepare into a new, empty cache (a small
# download), then again once the archive has moved on from the lists it kept.
# Then tools that fail without a word: the step is named on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/name-failures.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SORVANE_CACHE=$work/cache

prepare() { bash tests/module/wine_arm64.sh prepare | tail -n 1; }
root=$(prepare)
test -f "$root/.complete"
# Older lists: the archive has a newer Release, and the files they name are gone.
for packages in "$SORVANE_CACHE"/sorvane/apt-arm64/lists/*_Packages.*; do
  /usr/lib/apt/apt-helper cat-file "$packages" | sed 's|^Filename: |&gone/|' >"${packages%.*}"
  rm "$packages"
done
rm "$SORVANE_CACHE"/sorvane/apt-arm64/lists/*InRelease "$root/.complete"
test "$(prepare)" = "$root"

# command | tools standing in, as name=status | what standard error must hold
mkdir "$work/bin"
while IFS='|' read -r command tools want; do
  for tool in $tools; do printf '#!/bin/sh\nexit %s\n' "${tool#*=}" >"$work/bin/${tool%=*}"; done
  chmod +x "$work"/bin/*
  if PATH=$work/bin:$PATH SORVANE_CACHE=$work/empty $command >/dev/null 2>"$work/err" ||
    ! grep -q -- "$want" "$work/err"; then
    cat "$work/err" >&2 && echo "$command with silent $tools: expected '$want' on standard error" >&2
    exit 1
  fi
  rm "$work"/bin/*
done <<'TABLE'
bash tests/module/wine_arm64.sh prepare|flock=3|wine_arm64: line [0-9]* failed (status 3): flock 9
bash .ci/windows-arm64.sh|flock=3|^.ci/windows-arm64.sh: line [0-9]* failed (status 3): root=
bash tests/module/wine_arm64.sh prepare|apt-get=0|wine_arm64: the arm64 package lists in .* name no wine64
bash cmake/mingw-arm-sysroot.sh aarch64|dpkg=0 dpkg-query=3|mingw-arm-sysroot (aarch64): line [0-9]* failed (status 3): llvm_version=
TABLE
echo "cold cache: wine_arm64.sh prepare from nothing and from older lists; silent failures named"
