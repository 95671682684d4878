#!/usr/bin/env bash
# The web page in real headless Chromium (web/site/test/browser.test.mjs, with
# node's test runner): installs Debian's chromium and the npm packages pinned
# in web/package-lock.json, builds the site with the web preset and the native
# program it is compared with, and runs the test. Runs after .ci/web.sh, which
# installs the WebAssembly toolchain.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/name-failures.sh

if [ ! -x /usr/bin/chromium ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium
fi
# The preset runs `npm ci` in web/ too (playwright-core, fflate to read the
# ZIPs back, axe-core). The test writes a 1 GiB image, its output (native,
# in the browser's profile, downloaded) and its ZIP (in the profile,
# downloaded) in the temporary folder: about 6 GB.
cmake --workflow --preset web

# The native program the page is compared with.
source .ci/native-program.sh
# The README's picture stays as committed; CI's copy goes to the build tree.
export WEB_SCREENSHOT=${WEB_SCREENSHOT:-$PWD/build/web/web-page.png}
node --test web/site/test/browser.test.mjs
