#!/usr/bin/env bash
# The WebAssembly modules and the npm package: Debian's clang 14 for
# wasm32-wasi builds them (`cmake --workflow --preset web`), then Node's own
# test runner checks the package against the native bmpvintage of the test
# build, and a fresh project installs the package from its tarball and tones
# the sample with the README's two lines, from an ES module and from CommonJS.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/name-failures.sh

# libc++-dev, Debian's native libc++, is not needed: it is installed to prove
# that its headers (/usr/include/c++/v1) stay out of the wasm32 build.
need=()
for pkg in clang-14 lld-14 wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 \
  libclang-rt-14-dev-wasm32 libc++-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
command -v node >/dev/null 2>&1 || need+=(nodejs npm)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

cmake --workflow --preset web

# The native program and the formats tables' files (both already built when
# the test workflow has run).
cmake --preset test >/dev/null
cmake --build build/test -j2 --target bmpvintage sorvane_tests
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/kinds"
SORVANE_WRITE_KINDS="$work/kinds" build/test/tests/sorvane_tests \
  --gtest_filter=BMPFormats.WriteEveryKindWhenAsked >/dev/null
BMPVINTAGE="$PWD/build/test/bmpvintage" SORVANE_KINDS="$work/kinds" \
  node --test web/test/

# As a new user: npm pack, install the tarball, the two-line script.
(cd build/web/package && npm pack --silent --pack-destination "$work") >/dev/null
mkdir "$work/app"
(cd "$work/app" && npm init -y >/dev/null &&
  npm install --silent --no-audit --no-fund "$work"/sorvanebmpvintage-*.tgz)
cat >"$work/app/tone.mjs" <<'JS'
import fs from 'node:fs'; import { toneBMP } from 'sorvanebmpvintage';
fs.writeFileSync(process.argv[3], toneBMP(fs.readFileSync(process.argv[2])));
JS
cat >"$work/app/tone.cjs" <<'JS'
const fs = require('node:fs'); const { toneBMP } = require('sorvanebmpvintage');
fs.writeFileSync(process.argv[3], toneBMP(fs.readFileSync(process.argv[2])));
JS
node "$work/app/tone.mjs" samples/sample.bmp "$work/wasm.bmp"
node "$work/app/tone.cjs" samples/sample.bmp "$work/wasm-cjs.bmp"
build/test/bmpvintage samples/sample.bmp "$work/native.bmp"
cmp "$work/wasm.bmp" "$work/native.bmp"
cmp "$work/wasm-cjs.bmp" "$work/native.bmp"
echo "web: the installed package tones samples/sample.bmp as bmpvintage does, imported and required"
