#!/usr/bin/env bash
# The npm package as web developers bundle it (web/bundlers/bundlers.test.mjs,
# with node's test runner): Vite (build and dev server), esbuild and webpack,
# pinned in web/bundlers/package-lock.json, each build run in Debian's headless
# chromium against the native program. Runs after .ci/web.sh, which installs
# the WebAssembly toolchain and Node.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/name-failures.sh

if [ ! -x /usr/bin/chromium ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium
fi
# The package (already built when .ci/web.sh has run).
cmake --workflow --preset web
(cd web/bundlers && npm ci --no-audit --no-fund)

# The native program the bundled package is compared with.
source .ci/native-program.sh
node --test web/bundlers/bundlers.test.mjs
