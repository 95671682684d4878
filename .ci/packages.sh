#!/usr/bin/env bash
# What `cpack -G DEB` and the package tests need beyond the base image:
# dpkg-shlibdeps (Debian: dpkg-dev) for the packages' library dependencies,
# and lintian, which the consumer.deb test runs on the packages.
# dpkg-deb, which unpacks them in the tests, comes with every Debian system.
set -euo pipefail
need=()
for pkg in dpkg-dev lintian; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
